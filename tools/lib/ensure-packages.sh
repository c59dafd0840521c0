# Sourced by the build scripts: installs the Debian packages named in its
# arguments that are missing, when run as root; otherwise names them and stops.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    for package in "${missing[@]}"; do
        case "$package" in
            *:i386) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
        esac
    done
    echo "installing: ${missing[*]}"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
}
