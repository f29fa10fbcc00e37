"""Saved connection profiles for Snowflake and Salesforce."""
