"""kavrel: load Snowflake query results into Salesforce through Bulk API 2.0 ingest jobs."""

__version__ = "0.1.0"
