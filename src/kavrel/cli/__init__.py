"""The kavrel command line."""
