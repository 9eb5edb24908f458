"""Helpers shared by the test drivers, the demo and the benchmark.

  fwu_testkit.winelab   fwu.exe under Wine on a display of its own, driven
                        by real clicks and read back through fwu_probe
  fwu_testkit.checks    how a check is reported, the padded image, the
                        trace of one clean update

Importable once testkit/ is on PYTHONPATH: ctest sets it for every test,
and the scripts set it themselves.
"""
