# Shared by the command-line tests: counted checks of exit codes and output.
failures=0
passed=0

check() {  # check NAME EXPECTED_EXIT COMMAND... ; output in $out
  local name=$1 expected=$2
  shift 2
  out=$("$@" 2>&1)
  local code=$?
  if [ "$code" -ne "$expected" ]; then
    echo "FAIL $name: exit $code, expected $expected"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}

contains() {  # contains NAME TEXT
  if ! grep -qF -- "$2" <<<"$out"; then
    echo "FAIL $1: output lacks '$2'"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}
