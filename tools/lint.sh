#!/usr/bin/env bash
# The lint, format and type checks that CI runs before the tests, from the repository root:
#
#     bash tools/lint.sh
#
# First installs NumPy and the tools of the `dev` extra of pyproject.toml, at the versions
# pinned there, into .venv (made if missing); the checks need neither the compiled core nor
# the optional packages, so nothing is built. Then runs every check, even after one fails,
# and exits non-zero if any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || python3 -m venv .venv
# The Python versions that pyproject.toml's requires-python allows: 3.11 and later, which
# also read TOML without a third-party package.
.venv/bin/python -c 'import sys; sys.exit(sys.version_info < (3, 11) and
    "tools/lint.sh needs Python 3.11 or later, as zarn does; .venv has " + sys.version)'
requirements=$(.venv/bin/python - <<'EOF'
import tomllib

with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["dev"]))
EOF
)
# shellcheck disable=SC2086  # one requirement per line, none with a space
.venv/bin/pip install --quiet $requirements

failed=()
check() {
    echo "+ $*"
    "$@" || failed+=("$*")
}
check .venv/bin/ruff check
check .venv/bin/ruff format --check
check .venv/bin/mypy zarn
check .venv/bin/clang-format --dry-run --Werror zarn/_native/*.cpp zarn/_native/*.hpp \
    zarn/_native/engine/*.cpp zarn/_native/engine/*.hpp
if ((${#failed[@]})); then
    printf 'failed: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "lint, format and type checks passed"
