"""Recipes and the pipeline: what a print is made of, as NumPy and the kernels see it; no files."""
