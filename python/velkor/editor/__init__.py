"""The browser editor behind ``velkor edit``: a local server and its page.

Nothing here is imported by the rest of velkor; the web stack it needs
comes with the ``editor`` extra (``pip install 'velkor[editor]'``).
"""
