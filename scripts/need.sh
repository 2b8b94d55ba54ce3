# Sourced by the other scripts: `need pkg...` installs the Debian packages
# that are missing, when run as root, or says which ones to install.
need() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run: sudo apt-get install ${missing[*]})" >&2
        return 1
    fi
    if [ -z "${ZELK_APT_UPDATED:-}" ]; then
        apt-get update -qq >&2 || true
        export ZELK_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
