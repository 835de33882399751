"""Side-by-side benchmark of Corvantine and the stores a Python developer would pick instead.

Run from the repository root: /usr/bin/python3 -m bench.compare
"""
