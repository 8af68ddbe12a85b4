"""The platform SDK's CAB Wizard input (.inf): the same package described as sections of
"key=value" lines, ASCII with CRLF line ends."""
from cab_instructions import VERSION_MAX, VERSION_MIN


def quoted(value):
    """A string the wizard takes as it stands: "" is a quote, %% a percent sign (%name% would be a
    substitution)."""
    return '"' + value.replace('"', '""').replace("%", "%%") + '"'


def section(name, lines):
    return ["[%s]" % name] + list(lines) + [""]


def header(comment, provider, app_name, install_dir, architecture):
    """[Version], [CEStrings] and [CEDevice]; install_dir may hold the wizard's folder macros."""
    device = ["ProcessorType=%d" % architecture] if architecture else []
    device += ["VersionMin=%d.%d" % VERSION_MIN, "VersionMax=%d.%d" % VERSION_MAX, "BuildMax=0xE0000000"]
    return (["; " + comment]
            + section("Version", ['Signature="$Windows NT$"', "Provider=" + quoted(provider), 'CESignature="$Windows CE$"'])
            + section("CEStrings", ["AppName=" + quoted(app_name), "InstallDir=" + install_dir])
            + section("CEDevice", device))


def document(lines):
    return "\r\n".join(lines).encode("ascii")
