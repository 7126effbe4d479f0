#!/usr/bin/env bash
# Checks io_card's zsh completion ($1): it parses, and compinit takes it for
# io_card and loads it without a complaint.
set -u
command -v zsh >/dev/null || { echo "zsh is not installed: the zsh completion is not checked"; exit 77; }
zsh -n "$1" || exit 1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$1" "$scratch/"
problems=$(zsh -f -c 'fpath=($1 $fpath); autoload -U compinit; compinit -u -D
    [[ $_comps[io_card] == _io_card ]] || print compinit does not take _io_card for io_card
    autoload +X _io_card' zsh "$scratch" 2>&1)
[ -z "$problems" ] || { echo "loading _io_card: $problems"; exit 1; }
