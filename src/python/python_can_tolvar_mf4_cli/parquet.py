"""Parquet outputs: the reader's record batches written one at a time by
pyarrow's ParquetWriter (memory bounded by a few batches, whatever the
recording's size), counted from the finished file's metadata, and renamed
into place only when complete, as every output is. Every frame kind fits:
the columns are those of MdfFile.to_arrow()."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, List

from .convert import in_place
from .errors import CliError
from .progress import Progress

if TYPE_CHECKING:
    from python_can_tolvar_mf4 import MdfFile

SUFFIX = ".parquet"


def is_parquet(output: str) -> bool:
    """Whether `output` asks for Parquet (also as OUT.parquet.gz, refused)."""
    name = os.path.basename(output).lower()
    return name.endswith(SUFFIX) or name.endswith(SUFFIX + ".gz")


def write_parquet(reader: MdfFile, source: str, output: str, progress: Progress) -> List[str]:
    """Writes every frame the reader gives into `output`; returns the
    warnings to show (none)."""
    if output.lower().endswith(".gz"):
        raise CliError(f"{output}: Parquet compresses its own columns; write {output[:-3]} instead")
    if os.path.exists(output) and os.path.exists(source) and os.path.samefile(source, output):
        raise CliError(f"{output}: the output would overwrite the recording")
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise CliError(f"{output}: Parquet needs pyarrow: pip install python_can_tolvar_mf4[arrow]") from None
    with in_place(output, SUFFIX) as partial:
        batches = reader.iter_batches()
        written = 0
        try:
            with pq.ParquetWriter(partial, batches.schema) as writer:
                for batch in batches:
                    writer.write_batch(batch)
                    written += batch.num_rows
                    progress.advance(batch.num_rows)
        except OSError as error:
            # pyarrow tells the reader's own failures as OSError too.
            raise CliError(f"{output}: {error}") from None
        finally:
            progress.done()
        found = pq.ParquetFile(partial).metadata.num_rows
        if found != written:
            raise CliError(f"{output}: {found:,} of {written:,} frames reached the file")
    return []
