"""The user's own settings: saved connection profiles."""
