# Sourced by the scripts that take a device's name (--name or DEVICE_NAME). The name becomes a
# folder's name under build/device, which the device's runner deletes and makes anew: only a plain
# name (letters, digits, '-', '_' and '.', not '.' or '..') may take that place.
#
#   require_device_name NAME COMMAND    ends the script with one line and exit code 2 unless plain
require_device_name() {
  if [[ -z $1 || $1 == . || $1 == .. || $1 == *[!ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-]* ]]; then
    printf "%s: a device's name is letters, digits, '-', '_' and '.' (not '.' or '..'), not '%s'\n" "$2" "$1" >&2
    exit 2
  fi
}
