# Sourced by the scripts: sets $cache to the folder where scripts/bootstrap keeps the
# Windows dependencies and the pristine Wine prefix. CMakeLists.txt looks in the same place.
cache=${UPDATER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-updater}
