"""Running prints: one job, a process pool, a Dask cluster, tiled prints, export and preview."""
