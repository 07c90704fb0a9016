# Sourced by the Windows scripts: the Qt for Windows that scripts/build-windows
# builds once and keeps outside the checkout, and whether it is complete.
qt_version=5.15.8
qt_cache=${TARVO_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvo/qt5-mingw-$qt_version}
qt_cache_complete() { [ -f "$qt_cache/.complete" ]; }
