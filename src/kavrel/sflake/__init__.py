"""Warehouse side: running queries and fetching rows."""
