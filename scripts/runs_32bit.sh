# Sourced by the scripts that run 32-bit programs. runs_32bit_programs answers (exit status 0)
# whether this machine's kernel runs a 32-bit x86 Linux program itself: a tiny static program
# built with gcc -m32 is started, and why it could not be is left in $runs_32bit_why.
runs_32bit_why=""

runs_32bit_programs() {
  local dir
  dir="$(mktemp -d)"
  printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' > "$dir/probe.c"
  if ! gcc -m32 -static -o "$dir/probe" "$dir/probe.c" > "$dir/log" 2>&1; then
    runs_32bit_why="no 32-bit program could be built (gcc -m32 -static; run scripts/setup.sh)"
  elif ! "$dir/probe" > /dev/null 2>&1; then
    runs_32bit_why="this kernel does not run 32-bit programs"
  else
    runs_32bit_why=""
  fi
  rm -rf "$dir"
  [ -z "$runs_32bit_why" ]
}
