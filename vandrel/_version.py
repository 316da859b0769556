"""The version of the vandrel distribution: the one place it is written.

The build reads it from here into the distribution's metadata, so
``vandrel.__version__`` and ``importlib.metadata.version("vandrel")`` agree."""

__version__ = "0.1.0"
