# Sourced: a headless, quiet Wine (no Mono/Gecko prompts, no display).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
