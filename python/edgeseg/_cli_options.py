"""The command line's options for each command, made from the commands
themselves: which keywords are settings and their defaults from the
settings tables, each option's type and help from the docstring."""
import argparse
import inspect
from dataclasses import dataclass

from . import _arguments, _commands

SETTINGS_TABLES = {command: _arguments.settings_layout(command) for command in ("sorvik", "tamvel")}
FUNCTIONS = {"sorvik": _commands.sorvik, "tamvel": _commands.tamvel}
# Keywords the command line fills itself: the images, the run's info and its progress, and
# from files: the mask and the starting centres.
NOT_OPTIONS = ("image", "primary", "secondary", "settings", "return_info", "progress", "mask", "initial_centres",
               "secondary_initial_centres")
# The field's tools say "classes"; the keyword's own spelling is kept as an alias.
OPTION_NAMES = {"class_count": ("--classes", "--class-count")}
METAVARS = {"class_count": "K", "threads": "N"}
# Call options the library checks on their own: checked as they are parsed, so that a refusal
# names the option that was given.
CHECKS = {"threads": _arguments.thread_count}
# Where the command line differs from the call: only a .npy file needs its channel axis named.
OWN_HELP = {"channel_axis": "For .npy inputs only (the other formats say themselves which axis holds colour): the "
                            "axis of the array that holds the channels; without it the array is grey."}


@dataclass(frozen=True)
class Option:
    keyword: str
    kind: str  # int, float or bool, as the docstring types it
    description: str
    default: object
    is_setting: bool

    @property
    def flags(self):
        return OPTION_NAMES.get(self.keyword, ("--" + self.keyword.replace("_", "-"),))


def documented_parameters(function):
    """{keyword: (type, description)} from a numpydoc Parameters section."""
    text = inspect.getdoc(function)
    section = text.split("Parameters\n----------\n", 1)[1].split("\n\nReturns\n", 1)[0]
    found, keyword = {}, None
    for line in section.splitlines():
        if line and not line.startswith(" "):
            keyword, _, kind = line.partition(" : ")
            found[keyword] = (kind, [])
        elif keyword is not None:
            found[keyword][1].append(line.strip())
    return {keyword: (kind, " ".join(words)) for keyword, (kind, words) in found.items()}


def command_options(command):
    """The options of `edgeseg COMMAND`, the settings first, in the table's order."""
    function = FUNCTIONS[command]
    defaults = dict(SETTINGS_TABLES[command])
    signature = inspect.signature(function).parameters
    documented = documented_parameters(function)
    options = []
    for keyword in list(defaults) + [name for name in signature if name not in defaults]:
        if keyword in NOT_OPTIONS:
            continue
        kind, description = documented[keyword]
        is_setting = keyword in defaults
        default = defaults[keyword] if is_setting else signature[keyword].default
        options.append(Option(keyword, kind.split(",")[0].split(" or ")[0], description, default, is_setting))
    return options


def add_options(parser, command):
    """Adds each option; an option not given is absent from the namespace,
    so that explicit options can override suggested settings."""
    settings = parser.add_argument_group("settings (explicit ones override --suggest)")
    calls = parser.add_argument_group("call options")
    for option in command_options(command):
        group = settings if option.is_setting else calls
        default = "" if option.default is None else f" (default: {option.default})"
        description = OWN_HELP.get(option.keyword, option.description).replace(
            "see Notes", f"see the Notes of help(edgeseg.{command})")
        help_text = f"{description}{default}".replace("%", "%%")
        if option.kind == "bool":
            group.add_argument(*option.flags, dest=option.keyword, action="store_true", default=argparse.SUPPRESS,
                               help=help_text)
        else:
            kind = int if option.kind == "int" else float
            group.add_argument(*option.flags, dest=option.keyword, type=_checked(kind, CHECKS.get(option.keyword)),
                               default=argparse.SUPPRESS, help=help_text,
                               metavar=METAVARS.get(option.keyword, option.keyword.upper()))


def _checked(kind, check):
    """The option's type: the value as `kind`, refused as argparse refuses
    an argument (naming its option) when `check` refuses it."""
    if check is None:
        return kind

    def parse(text):
        value = kind(text)
        try:
            check(value)
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return value
    parse.__name__ = kind.__name__  # argparse names it in "invalid int value"
    return parse
