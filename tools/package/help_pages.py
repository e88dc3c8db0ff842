#!/usr/bin/env python3
"""Makes the manual page xelo.1 (gzipped) and the bash completion for xelo
from the program's own --help text, so that both always list the options the
program accepts, with the defaults it states.

The program is run from a private copy (with its acquisition library beside
it) and a private SYSTEMDRIVE: a run rewrites files in its program directory
and writes a log, and a build must leave neither behind.
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The value words the help text uses, and what the completion offers for them.
FILE_VALUES = {"file", "volume"}
DIRECTORY_VALUES = {"dir"}
# Values with a fixed set of choices.
CHOICES = {"--function": "novpi kyt dunvar linuxtk", "--arch": "x86 x64", "--autorun": "novpi kyt dunvar linuxtk none"}

OPTION_LINE = re.compile(r"^  (-\w \[ (--[\w-]+) \]|(--[\w-]+))( [\w-]+)?\s")


def help_text(program):
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "program")
        os.mkdir(copy)
        shutil.copy2(program, copy)
        library = os.path.join(os.path.dirname(program), "libacquire.so")
        if os.path.exists(library):
            shutil.copy2(library, copy)
        env = dict(os.environ, SYSTEMDRIVE=os.path.join(tmp, "drive"))
        run = subprocess.run([os.path.join(copy, os.path.basename(program)), "--help"], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    if run.returncode != 0 or "Available options:" not in run.stdout:
        sys.exit("help_pages: %s --help failed (%d): %s" % (program, run.returncode, run.stderr))
    return run.stdout


def parse(text):
    """Returns (header lines, options, examples, closing lines). Each option is
    a dict: short, long, value, lines (its description, default and example)."""
    lines = text.splitlines()
    start = lines.index("Available options:")
    header = [l for l in lines[:start] if l.strip()]
    options, examples, closing = [], [], []
    section = "options"
    column = None
    for line in lines[start + 1:]:
        if line.startswith("Examples:"):
            section = "examples"
            continue
        if section == "options":
            match = OPTION_LINE.match(line)
            if match:
                short = line[2:4] if line[2:4] != "--" else None
                name = match.group(2) or match.group(3)
                value = (match.group(4) or "").strip() or None
                rest = line[match.end():]
                column = match.end() + (len(rest) - len(rest.lstrip()))
                options.append({"short": short, "long": name, "value": value, "lines": [rest.strip()]})
            elif options and line.strip():
                text_part = line[column:] if column and len(line) > column else line.strip()
                options[-1]["lines"].append(text_part.strip())
        elif section == "examples" and line.startswith(" <program>"):
            examples.append(line.strip().replace("<program>", "xelo"))
        elif section == "examples" and line.strip():
            section = "closing"
            closing.append(line.strip())
        elif section == "closing" and line.strip():
            closing.append(line.strip())
    return header, options, examples, closing


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def option_entry(option):
    names = []
    if option["short"]:
        names.append("\\fB%s\\fR" % roff(option["short"]))
    long_name = "\\fB%s\\fR" % roff(option["long"])
    if option["value"]:
        long_name += "=\\fI%s\\fR" % option["value"]
    names.append(long_name)
    body, notes = [], []
    for line in option["lines"]:
        if line.startswith("Default value:") or line.startswith("Example:"):
            notes.append(line)
        elif notes:
            notes[-1] += " " + line
        else:
            body.append(line)
    out = [".TP", ", ".join(names), roff(" ".join(body))]
    for note in notes:
        out += [".br", roff(note)]
    return out


def man_page(header, options, examples, closing, version, summary):
    out = ['.TH XELO 1 "" "xelo %s" "User Commands"' % version, ".SH NAME", "xelo \\- " + roff(summary),
           ".SH SYNOPSIS", ".B xelo", "[\\fIoptions\\fR]", ".SH DESCRIPTION"]
    out += [roff(l) + "\n.br" for l in header]
    out += [".PP", "xelo must run as root. It changes into its program directory at start.",
            ".PP", "\\fBxelowin\\fR, the launcher, starts xelo with the same options and ends with its exit status;",
            "without options it starts the graphical front end.", ".SH OPTIONS"]
    for option in options:
        out += option_entry(option)
    if closing:
        out += [".PP"] + [roff(l) for l in closing]
    if examples:
        out.append(".SH EXAMPLES")
        for example in examples:
            out += [".PP", ".nf", roff(example), ".fi"]
    out += [".SH SEE ALSO", "The user guide, /usr/share/doc/xelo/usage.md."]
    return "\n".join(out) + "\n"


def completion(options):
    flags, valued, cases = [], [], {}
    for option in options:
        names = [n for n in (option["short"], option["long"]) if n]
        if not option["value"]:
            flags += names
            continue
        valued.append(option["long"] + "=")
        if option["short"]:
            flags.append(option["short"])
        if option["long"] in CHOICES:
            action = 'COMPREPLY=($(compgen -W "%s" -- "$cur"))' % CHOICES[option["long"]]
        elif option["value"] in DIRECTORY_VALUES:
            action = "_filedir -d"
        elif option["value"] in FILE_VALUES:
            action = "_filedir"
        else:
            action = ":"
        cases.setdefault(action, []).extend(names)
    body = ["# bash completion for xelo and xelowin; made from xelo --help.", "_xelo() {",
            "  local cur prev words cword split", "  _init_completion -s || return", '  case "$prev" in']
    for action, names in cases.items():
        body.append("    %s) %s; return ;;" % ("|".join(names), action))
    body += ["  esac", "  $split && return", '  if [[ "$cur" == -* ]]; then',
             '    COMPREPLY=($(compgen -W "%s" -- "$cur"))' % " ".join(flags + valued),
             '    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace', "  fi", "} &&",
             "  complete -F _xelo xelo xelowin"]
    return "\n".join(body) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--summary", required=True)
    parser.add_argument("--man", required=True, help="gzipped manual page to write")
    parser.add_argument("--completion", required=True, help="bash completion file to write")
    args = parser.parse_args()
    header, options, examples, closing = parse(help_text(args.program))
    if not options:
        sys.exit("help_pages: no options found in the help text")
    page = man_page(header, options, examples, closing, args.version, args.summary)
    with open(args.man, "wb") as out:
        # No name and no time in the gzip header: the same help makes the same file.
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=9, mtime=0) as z:
            z.write(page.encode())
    with open(args.completion, "w") as out:
        out.write(completion(options))


if __name__ == "__main__":
    main()
