"""The module's 31 functions as the tests see them, in binding order."""

# Argument kinds in order: N numeric series, C condition series, I integer.
KINDS = {
    "MA": "NI", "MA_A": "NN", "EMA": "NI", "SMA": "NII", "WMA": "NI", "DMA": "NN",
    "COUNT": "NI", "COUNT_A": "NN", "SUM": "NI", "SUM_A": "NN", "REF": "NI", "REFIF": "NNN",
    "REFXV": "NI", "REF_A": "NN", "LLV": "NI", "LLV_A": "NN", "HHV": "NI", "HHV_A": "NN",
    "BARSINCE": "C", "BARLAST": "C", "BARSLAST": "C", "CROSS": "NN", "FIF": "CNN",
    "SLOPE": "NI", "CURRBARSCOUNT": "N", "BACKCOUNT": "C", "STD": "NI", "STDDEV": "NI",
    "STDP": "NI", "AVEDEV": "NI", "FILTER": "NI",
}
NAMES = list(KINDS)
# Keyword names where they are not a, N (, M).
KEYWORDS = {"MA_A": "aN", "DMA": "aA", "REFIF": "xcv", "CROSS": "xy", "FIF": "xab",
            "SLOPE": "YN", "SMA": "aNM", "CURRBARSCOUNT": "Y", "BARSINCE": "x",
            "BARLAST": "x", "BARSLAST": "x", "BACKCOUNT": "x"}
POSITIONAL_ONLY = {"BARSINCE", "BARLAST", "BARSLAST", "BACKCOUNT", "CURRBARSCOUNT"}
# Second argument is a series of window lengths.
WINDOW_SERIES = {"MA_A", "SUM_A", "COUNT_A", "REF_A", "LLV_A", "HHV_A"}


def argnames(name):
    return list(KEYWORDS.get(name, "aN"[:len(KINDS[name])]))


def core_name(name):
    return "zv_" + name.lower()
