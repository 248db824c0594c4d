"""The failure the program reports as one line on stderr and exit code 1;
every module raises it with the line to show."""


class CliError(Exception):
    """A failure reported as one line and exit code 1."""
