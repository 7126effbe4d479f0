#!/usr/bin/env bash
# Checks zsh completions (_io_card, _io_card_sim, ...): each parses, and compinit
# takes it for its program and loads it without a complaint.
set -u
command -v zsh >/dev/null || { echo "zsh is not installed: the zsh completion is not checked"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for file in "$@"; do
    zsh -n "$file" || exit 1
    cp "$file" "$scratch/"
    name=$(basename "$file")
    problems=$(zsh -f -c 'fpath=($1 $fpath); autoload -U compinit; compinit -u -D
        [[ $_comps[${2#_}] == $2 ]] || print compinit does not take $2 for ${2#_}
        autoload +X $2' zsh "$scratch" "$name" 2>&1)
    [ -z "$problems" ] || { echo "loading $name: $problems"; exit 1; }
done
