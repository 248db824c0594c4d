#!/usr/bin/env bash
# The main job: set up what is missing, then print the frames of a recording
# (the shipped sample when no file is given).
source "$(dirname "$0")/setup.sh"
if command -v tolvar-mf4 >/dev/null; then
  exec tolvar-mf4 "$@"
fi
python - <<'PY'
import python_can_tolvar_mf4
print("python_can_tolvar_mf4 is installed:", python_can_tolvar_mf4.__file__)
PY
