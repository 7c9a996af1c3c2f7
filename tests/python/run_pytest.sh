#!/usr/bin/env bash
# Runs the Python module's tests with the interpreter it was built for.
# Usage: run_pytest.sh PYTHON MODULE_DIR QUILLET_BINARY [PYTEST ARGS...]
# pytest's "no tests ran" (exit 5) is a failure here: a suite that finds nothing tested nothing.
set -uo pipefail
python=$1 modules=$2
export QUILLET_BINARY=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH=$modules:$here${PYTHONPATH:+:$PYTHONPATH}
"$python" -m pytest -q -p no:cacheprovider "$here" "$@"
status=$?
if [ $status -eq 5 ]; then
  echo "pytest collected no tests" >&2
  exit 1
fi
exit $status
