"""Salesforce side: Bulk API 2.0 ingest jobs and the load operations."""
