#!/usr/bin/env python3
"""Turns tools/cli/help.txt, the fenwix program's help written once, into the
texts the program prints (a C++ include) and the man page fenwix(1), so that
the two never say different things.

An option whose default is written "@defaults" takes it from the table of
defaults in tools/cli/build_defaults.cpp (DEFAULTS_CPP), the one place the
program decides them, so the help cannot tell another default than the one
the program applies. A section titled EXAMPLES is kept line by line.

usage: help_text.py HELP_TXT DEFAULTS_CPP --include OUT.inc
       help_text.py HELP_TXT DEFAULTS_CPP --man OUT.1 --version VERSION
"""
import re
import sys
import textwrap

WIDTH = 79
NAME_COLUMN = 26  # where an entry's text starts when its name fits before it


def read_defaults(path):
    """{option: default text} from the rows of build_text_defaults."""
    with open(path, encoding="utf-8") as f:
        source = f.read()
    start = source.find("build_text_defaults[build_text_count] = {")
    if start < 0:
        sys.exit(f"{path}: no table build_text_defaults")
    table = source[start:source.index("};", start)]
    literal = r'"(?:[^"\\]|\\.)*"'
    row = re.compile(r'\{\s*"(--[a-z-]+)",\s*&build_options::\w+,\s*((?:' + literal +
                     r'\s*)+)\}')
    out = {}
    for option, literals in row.findall(table):
        # Adjacent literals join, as the compiler joins them.
        text = "".join(part[1:-1] for part in re.findall(literal, literals))
        out[option] = re.sub(r"\\(.)", r"\1", text)
    if not out:
        sys.exit(f"{path}: the table build_text_defaults has no rows this script can read")
    return out


def read_sections(path, defaults):
    """[(title, [line, ...])] in file order, comments dropped, @defaults filled in."""
    sections = []
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            # Comments stand before the first section; an example may start with "#".
            if line.startswith("#") and not sections:
                continue
            if line.endswith(" :: @defaults"):
                option = line.split(" ")[0].rstrip(",")
                if option not in defaults:
                    sys.exit(f"{path}: {option} has no row in the table of defaults")
                line = line[: -len("@defaults")] + defaults[option]
            if line.startswith("== "):
                sections.append((line[3:].strip(), []))
            elif sections:
                sections[-1][1].append(line)
            elif line.strip():
                sys.exit(f"{path}: text before the first section: {line!r}")
    return sections


def is_table(title):
    return title.endswith("COMMANDS") or title.endswith("OPTIONS")


def entries(lines, title):
    """(name, text, default or None) for each line of a table section."""
    out = []
    for line in lines:
        if not line.strip():
            continue
        parts = [p.strip() for p in line.split(" :: ")]
        if len(parts) not in (2, 3) or not all(parts):
            sys.exit(f"{title}: not 'NAME :: TEXT[ :: DEFAULT]': {line!r}")
        out.append((parts[0], parts[1], parts[2] if len(parts) == 3 else None))
    return out


def paragraphs(lines):
    out, current = [], []
    for line in lines + [""]:
        if line.strip():
            current.append(line.strip())
        elif current:
            out.append(" ".join(current))
            current = []
    return out


def entry_text(text, default):
    return text if default is None else f"{text} (default: {default})"


# ---- The program's texts.


def wrap(text, first, rest):
    # A word like byte-identical or --main stays whole.
    return textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                         break_on_hyphens=False)


def text_entries(table):
    lines = []
    for name, text, default in table:
        body = entry_text(text, default)
        indent = " " * NAME_COLUMN
        if len(name) + 2 <= NAME_COLUMN - 2:
            first = ("  " + name).ljust(NAME_COLUMN)
            lines += wrap(body, first, indent)
        else:
            lines.append("  " + name)
            lines += wrap(body, indent, indent)
    return lines


def text_section(title, lines):
    if title == "SYNOPSIS":
        return ["usage:"] + ["  " + l for l in lines if l.strip()]
    if title == "EXAMPLES":
        while lines and not lines[-1].strip():
            lines = lines[:-1]
        return [title.lower() + ":"] + ["  " + l if l.strip() else "" for l in lines]
    out = [title.lower() + ":"] if title != "DESCRIPTION" else []
    if is_table(title):
        return out + text_entries(entries(lines, title))
    for i, p in enumerate(paragraphs(lines)):
        if i:
            out.append("")
        out += wrap(p, "", "")
    return out


def c_string(text):
    body = []
    for line in text.split("\n")[:-1]:
        escaped = line.replace("\\", "\\\\").replace('"', '\\"')
        body.append(f'    "{escaped}\\n"')
    return "\n".join(body)


def write_include(sections, out):
    by_title = dict(sections)
    for needed in ("SYNOPSIS", "BUILD OPTIONS"):
        if needed not in by_title:
            sys.exit(f"no section {needed}")
    synopsis = [l for l in by_title["SYNOPSIS"] if l.strip()]
    usage = "\n".join(["usage:"] + ["  " + l for l in synopsis]) + "\n"
    full_parts = ["\n".join(text_section(t, l)) for t, l in sections if t != "NAME"]
    full = "\n\n".join(full_parts) + "\n"
    build = "\n".join(
        ["usage:"] + ["  " + l for l in synopsis if l.startswith("fenwix build ")] + [""] +
        text_section("BUILD OPTIONS", by_title["BUILD OPTIONS"]) + [""] +
        text_section("EXAMPLES", by_title.get("EXAMPLES", []))) + "\n"
    with open(out, "w", encoding="utf-8") as f:
        f.write("// Made by scripts/help_text.py from tools/cli/help.txt; edit that file.\n")
        for name, text in (("help_usage", usage + "\nfenwix --help tells what each command and "
                            "option does.\n"), ("help_full", full), ("help_build", build)):
            f.write(f"const char {name}[] =\n{c_string(text)};\n")


# ---- The man page.


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def roff_name(name):
    """Option and command words in bold, their arguments in italics."""
    words = []
    for word in name.split(" "):
        keyword = word.startswith("-") or word.islower() or word in ("|",)
        words.append(("\\fB%s\\fR" if keyword else "\\fI%s\\fR") % roff(word))
    return " ".join(words)


def write_man(sections, out, version):
    lines = [f'.TH FENWIX 1 "" "fenwix {version}" "User Commands"']
    for title, body in sections:
        lines.append(f".SH {title}")
        if title == "NAME":
            lines += [roff(p) for p in paragraphs(body)]
        elif title == "SYNOPSIS":
            lines.append(".nf")
            lines += [roff_name(l) for l in body if l.strip()]
            lines.append(".fi")
        elif title == "EXAMPLES":
            while body and not body[-1].strip():
                body = body[:-1]
            lines += [".PP", ".nf"] + [roff(l) for l in body] + [".fi"]
        elif is_table(title):
            for name, text, default in entries(body, title):
                lines += [".TP", roff_name(name), roff(entry_text(text, default))]
        else:
            for p in paragraphs(body):
                lines += [".PP", roff(p)]
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main(argv):
    if len(argv) == 5 and argv[3] == "--include":
        write_include(read_sections(argv[1], read_defaults(argv[2])), argv[4])
    elif len(argv) == 7 and argv[3] == "--man" and argv[5] == "--version":
        write_man(read_sections(argv[1], read_defaults(argv[2])), argv[4], argv[6])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
