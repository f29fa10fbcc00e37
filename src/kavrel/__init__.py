"""kavrel: load Snowflake query results into Salesforce through Bulk API 2.0 ingest jobs."""

from importlib import metadata

# The version is pyproject.toml's, as the installed package's metadata carries it.
try:
    __version__ = metadata.version("kavrel")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"
