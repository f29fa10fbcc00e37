"""Saved connection profiles for Snowflake and Salesforce."""

from collections.abc import Mapping
from typing import Any

from kavrel.user.connections.manager import (
    delete_connection,
    get_connections_file,
    get_primary_connection,
    get_velmora_dir,
    initialize_velmora_directory,
    load_connection,
    read_settings_file,
    remove_unused_key_copy,
    save_connection_config,
    set_primary_connection,
    tallyra,
    under_store_lock,
    update_connection,
)


def profile_type(profile: Mapping[str, Any] | None) -> str:
    """The type of a stored profile as the store reads it: its `connection_type` stripped and in
    lower case, "snowflake" when it has none ("" for no profile)."""
    if not profile:
        return ""
    return str(profile.get("connection_type") or "snowflake").strip().lower()


__all__ = [
    "delete_connection",
    "get_connections_file",
    "get_primary_connection",
    "get_velmora_dir",
    "initialize_velmora_directory",
    "load_connection",
    "read_settings_file",
    "remove_unused_key_copy",
    "save_connection_config",
    "set_primary_connection",
    "tallyra",
    "under_store_lock",
    "update_connection",
]
