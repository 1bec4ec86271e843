"""How the bench writes a figure: medians, units, and table rows with
their floor, ratio, target and whether it is met."""



def median(values):
    """The middle value, the lower of the two middle ones for an even count."""
    return sorted(values)[(len(values) + 1) // 2 - 1]


def secs(us):
    return "%.3f s" % (us / 1e6)


def mib(kib):
    return "%.1f MiB" % (kib / 1024)


def mb(count):
    return "%.1f MB" % (count / 1e6)


def nbytes(count):
    return f"{count:,} B"


def row(*cells):
    return "| " + " | ".join(str(c) for c in cells) + " |"


TABLE_HEAD = [row("Figure", "Value", "Floor", "Ratio", "Target", "Met"), row(*["---"] * 6)]


def time_row(label, value, floor, factor):
    """A start against its floor, both in µs, and the target factor."""
    ratio = "%.2f" % (value / floor) if floor > 0 else "n/a"
    met = "yes" if floor > 0 and value <= factor * floor else "no"
    return row(label, secs(value), secs(floor), ratio, f"≤ {factor:g} × floor", met)


def memory_row(label, value, bare, bound, words):
    """A peak against the bare program's and its bound, all in KiB."""
    return row(label, mib(value), "bare program " + mib(bare),
               "%+.1f MiB" % ((value - bare) / 1024),
               f"≤ {words} = {mib(bound)}", "yes" if value <= bound else "no")


def subtitle(date, commit, runs, level):
    return f"{date[:10]}, commit {commit}, median of {runs} runs, launchers at --level {level}"
