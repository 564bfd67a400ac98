# Shared by the project's commands: finds (or brings up) the interpreter and
# builds the module and the C++ tests into one build folder.
# Sourced, not run. Sets PY and BUILD.

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

step() { printf '\n== %s\n' "$*"; }

PY=$(tools/bootstrap-python | tail -n 1)
BUILD=${TAVORIC_BUILD_DIR:-$top/build/main}

# Configures and builds everything into $BUILD. Extra arguments go to CMake.
build_all() {
    mkdir -p "$BUILD"
    step "build ($BUILD)"
    cmake -S "$top" -B "$BUILD" -DPython_EXECUTABLE="$PY" -DTAVORIC_WERROR=ON "$@" >"$BUILD.configure.log" 2>&1 \
        || { cat "$BUILD.configure.log"; return 1; }
    cmake --build "$BUILD" -j "$(nproc)"
}
