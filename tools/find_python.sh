# Sourced by .ci/run and tools/build_wheels.sh: find_python VERSION prints the path of a
# working CPython VERSION interpreter (python3.12 on PATH, a pyenv version, or a
# manylinux image's /opt/python/cp312-cp312), or fails saying it found none.
find_python() {
    local version=$1 tag=cp${1//./} candidate
    local pyenv_root
    pyenv_root=$( (command -v pyenv >/dev/null && pyenv root) || echo "$HOME/.pyenv")
    # A pyenv shim on PATH may not resolve, so each candidate is asked its version.
    for candidate in "$(command -v "python$version" || true)" \
        "$pyenv_root"/versions/"$version"*/bin/"python$version" \
        "/opt/python/$tag-$tag/bin/python$version"; do
        if [ -x "$candidate" ] && "$candidate" -c \
            "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "CPython $version not found" >&2
    return 1
}
