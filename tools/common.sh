# Shared by the project's commands: finds (or brings up) the interpreter and
# builds into a build folder. Sourced, not run. Sets PY.

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

step() { printf '\n== %s\n' "$*"; }

PY=$(tools/bootstrap-python | tail -n 1)

# build FOLDER [CMake arguments...] [-- build arguments...]: configures and
# builds into build/FOLDER, warnings as errors.
build() {
    local folder="$top/build/$1"
    shift
    local configure=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
    [ "${1:-}" = "--" ] && shift && targets=("$@")
    mkdir -p "$folder"
    cmake -S "$top" -B "$folder" -DPython_EXECUTABLE="$PY" -DTAVORIC_WERROR=ON "${configure[@]}" \
        >"$folder/configure.log" 2>&1 || { cat "$folder/configure.log"; return 1; }
    cmake --build "$folder" -j "$(nproc)" "${targets[@]}" >"$folder/build.log" 2>&1 \
        || { grep -E -B2 -A12 'error|Error' "$folder/build.log" | head -n 200; return 1; }
    echo "built $folder"
}
