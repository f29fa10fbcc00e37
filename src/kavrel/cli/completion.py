"""`kavrel completion bash|zsh|fish`: shell completion of commands, options and profile names.

Each script asks the command itself what may follow the words typed so far (`kavrel __complete
WORD...`, the last word being the one completed), so completion always knows the installed
version's options, and the saved profiles as they are now. An empty answer leaves the shell to
complete file names.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterable, Sequence


def takes_profile(action: argparse.Action, kind: str) -> argparse.Action:
    """Marks `action` as taking the name of a saved profile of `kind` ("snowflake", "salesforce"
    or "any"), which completion offers."""
    vars(action)["profiles"] = kind
    return action


_BASH = """\
# kavrel completion for bash; load it from ~/.bashrc with: eval "$(kavrel completion bash)"
_kavrel_complete() {
    local IFS=$'\\n'
    COMPREPLY=($(kavrel __complete "${COMP_WORDS[@]:1:COMP_CWORD}" 2>/dev/null))
}
complete -o default -F _kavrel_complete kavrel
"""

_ZSH = """\
#compdef kavrel
# kavrel completion for zsh; load it from ~/.zshrc (after compinit) with:
#   eval "$(kavrel completion zsh)"
_kavrel() {
    local -a candidates
    candidates=("${(@f)$(kavrel __complete "${(@)words[2,CURRENT]}" 2>/dev/null)}")
    if [[ -n "${candidates[1]}" ]]; then
        compadd -- "${candidates[@]}"
    else
        _files
    fi
}
compdef _kavrel kavrel
"""

_FISH = """\
# kavrel completion for fish; install it with:
#   kavrel completion fish > ~/.config/fish/completions/kavrel.fish
function __kavrel_complete
    set -l words (commandline -opc) (commandline -ct)
    kavrel __complete $words[2..-1] 2>/dev/null
end
complete -c kavrel -a '(__kavrel_complete)'
"""

SCRIPTS = {"bash": _BASH, "zsh": _ZSH, "fish": _FISH}


def register(subparsers: argparse._SubParsersAction) -> None:
    """Adds `kavrel completion` to the `kavrel` parser."""
    parser = subparsers.add_parser(
        "completion",
        help="print the shell completion script for bash, zsh or fish",
        description="Print a script that makes the shell complete kavrel's commands, options and "
        "saved profile names.",
        epilog='bash: eval "$(kavrel completion bash)" in ~/.bashrc; '
        'zsh: eval "$(kavrel completion zsh)" in ~/.zshrc; '
        "fish: kavrel completion fish > ~/.config/fish/completions/kavrel.fish",
    )
    parser.add_argument("shell", choices=tuple(SCRIPTS), help="the shell")
    parser.set_defaults(run=_print_script)


def _print_script(args: argparse.Namespace) -> int:
    print(SCRIPTS[args.shell], end="")
    return 0


def complete(parser: argparse.ArgumentParser, words: Sequence[str]) -> int:
    """Prints what may take the place of the last of `words`, one per line."""
    for candidate in candidates(parser, words):
        print(candidate)
    return 0


def candidates(parser: argparse.ArgumentParser, words: Sequence[str]) -> list[str]:
    *typed, current = list(words) or [""]
    parser, option = _walk(parser, typed)
    if option is not None:  # the word is that option's value
        return _starting(current, _values(option))
    if current.startswith("-"):
        return _starting(current, _option_strings(parser))
    commands = _subcommands(parser)
    if commands is not None:
        return _starting(current, [name for name in commands.choices if not name.startswith("_")])
    positionals = [action for action in parser._actions if not action.option_strings]
    return _starting(current, [value for action in positionals for value in _values(action)])


def _walk(
    parser: argparse.ArgumentParser, typed: Iterable[str]
) -> tuple[argparse.ArgumentParser, argparse.Action | None]:
    """The (sub)command the typed words lead to, and the option whose value comes next."""
    waiting: argparse.Action | None = None
    for word in typed:
        if waiting is not None:
            waiting = None
            continue
        if word.startswith("-"):
            action = parser._option_string_actions.get(word)
            if action is not None and action.nargs != 0:
                waiting = action
            continue
        commands = _subcommands(parser)
        if commands is not None and word in commands.choices:
            parser = commands.choices[word]
    return parser, waiting


def _subcommands(parser: argparse.ArgumentParser) -> argparse._SubParsersAction | None:
    return next((a for a in parser._actions if isinstance(a, argparse._SubParsersAction)), None)


def _option_strings(parser: argparse.ArgumentParser) -> list[str]:
    return [
        option
        for action in parser._actions
        if action.help != argparse.SUPPRESS
        for option in action.option_strings
    ]


def _values(action: argparse.Action) -> list[str]:
    """An option's or argument's possible values: its choices, or the names of the saved profiles
    of the type it names (`profiles`, set where the argument is added)."""
    if action.choices is not None:
        return [str(choice) for choice in action.choices]
    kind = getattr(action, "profiles", None)
    return [] if kind is None else profile_names(kind)


def profile_names(kind: str) -> list[str]:
    """The saved profiles of `kind` ("snowflake", "salesforce" or "any"); none when the store
    cannot be read, since completion must never fail in the user's shell."""
    try:
        from kavrel.user import connections

        names = connections.tallyra()
        if kind == "any":
            return names
        profiles = {name: connections.load_connection(name) or {} for name in names}
    except Exception:  # noqa: BLE001
        return []
    return [name for name, profile in profiles.items() if connections.profile_type(profile) == kind]


def _starting(prefix: str, words: Iterable[str]) -> list[str]:
    return [word for word in words if word.startswith(prefix)]
