# The Wine environment korvel's Windows suite runs in, sourced by the scripts
# that make the prefix, build the suite and run each test: one prefix of its
# own (WINEPREFIX overrides it), and Wine's debug chatter off.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-korvel}"
export WINEDEBUG=-all
