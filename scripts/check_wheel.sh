#!/usr/bin/env bash
# Checks a wheel made by wheel.sh as a user would meet it: installed into a clean virtual
# environment (build/wheel-venv) from the file alone, its module loads no libroaring (ldd), exports
# its entry point and no CRoaring symbol, and answers queries. Prints one "check: NAME: ok|FAILED"
# line per check and exits non-zero when any failed.
# Usage: check_wheel.sh WHEEL
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wheel="$(realpath "${1:?usage: check_wheel.sh WHEEL}")"
venv="$root/build/wheel-venv"
status=0
check() {  # name, command...
  local name="$1"; shift
  if "$@"; then echo "check: $name: ok"; else echo "check: $name: FAILED"; status=1; fi
}

check "the wheel has a manylinux tag" eval '[[ "$(basename "$wheel")" == *-manylinux*.whl ]]'
install() {
  rm -rf "$venv" && python3 -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
}
check "it installs into a clean virtual environment, without an index" install

so="$(cd / && "$venv/bin/python" -c 'import Vostrel; print(Vostrel.__file__)' 2>/dev/null)"
in_venv() { [[ "$so" == "$venv"/* ]] || { echo "the module imported is not the venv's: '$so'" >&2; return 1; }; }
check "the module imported is the one installed in it" in_venv

no_roaring_linked() {
  local libs
  libs="$(ldd "$so")" || return 1
  echo "   ldd: $(awk '{print $1}' <<<"$libs" | tr '\n' ' ')"
  if grep -qi roaring <<<"$libs"; then echo "the module loads a CRoaring library:" >&2; grep -i roaring <<<"$libs" >&2; return 1; fi
  if grep -q 'not found' <<<"$libs"; then echo "a library is missing:" >&2; grep 'not found' <<<"$libs" >&2; return 1; fi
}
check "ldd shows no libroaring and nothing missing" no_roaring_linked

exports() {
  local syms
  syms="$(nm -D --defined-only "$so" | awk '{print $3}')" || return 1
  echo "   $(wc -l <<<"$syms") exported symbols"
  grep -qx PyInit_Vostrel <<<"$syms" || { echo "PyInit_Vostrel is not exported" >&2; return 1; }
  if grep -q '^roaring' <<<"$syms"; then echo "CRoaring symbols are exported" >&2; return 1; fi
}
check "it exports PyInit_Vostrel and no CRoaring symbol" exports

query() {
  # From an empty folder, so that nothing of the source tree can be imported instead.
  mkdir -p "$root/build/wheel-check" &&
  (cd "$root/build/wheel-check" && "$venv/bin/python" - "$root/pyproject.toml" <<'EOF'
import sys, tomllib
import Vostrel
from Vostrel import Index, Indexable, PyQueryExpr as Q

class Book(Indexable):
    pass

books = [Book(title=f"t{i}", year=1900 + i, genre="sf" if i % 3 == 0 else "novel") for i in range(100)]
catalogue = Index()
catalogue.add_object_many(books)
assert catalogue.get_by_attribute(genre="sf") == books[::3]
assert catalogue.reduced_query(Q.and_(Q.ge("year", 1990), Q.eq("genre", "sf"))).collect() == [books[90], books[93], books[96], books[99]]
books[0].year = 2000
assert catalogue.reduced_query(Q.gt("year", 1998)).collect() == [books[0], books[99]]
with open(sys.argv[1], "rb") as f:
    version = tomllib.load(f)["project"]["version"]
assert Vostrel.__version__ == version, (Vostrel.__version__, version)
print(f"   Vostrel {Vostrel.__version__} from {Vostrel.__file__}")
EOF
  )
}
check "it answers queries in the clean environment" query
exit "$status"
