# Defines kyr_find_python VERSION, which prints the path of a CPython VERSION
# interpreter (for example 3.11): on PATH, under pyenv, or in /usr/local/bin or
# /usr/bin. Fails with a message when there is none.
# Usage: source scripts/find_python.sh
kyr_find_python() {
    local version=$1 candidate
    for candidate in "python$version" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version" \
                     "/usr/local/bin/python$version" "/usr/bin/python$version"; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "CPython $version not found" >&2
    return 1
}
