"""Pieces of zelvo's benchmarks, one job a module.

Shared by every benchmark script in bench/:

* ``timing``: best-of-N timing of candidates sampled in alternating rounds;
* ``machine``: the machine, versions, revision and load a record states;
* ``record``: number formats, markdown tables and the marked sections of
  bench/RESULTS.md;
* ``data``: the seeded random walk and the real daily bars.

Specific to ``bench/run.py`` (all 31 functions against peer libraries):
``cases`` (what is timed, from zelvo's function catalog), ``peers`` (the peer
libraries, their statements and the agreement check), ``suite`` (the timing
loop over sizes and windows), ``report`` (tables and key ratios) and ``chart``.
"""
