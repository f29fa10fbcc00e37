"""Saved connection profiles for Snowflake and Salesforce."""

from kavrel.user.connections.manager import (
    delete_connection,
    get_connections_file,
    get_primary_connection,
    get_velmora_dir,
    initialize_velmora_directory,
    load_connection,
    remove_unused_key_copy,
    save_connection_config,
    set_primary_connection,
    tallyra,
    under_store_lock,
    update_connection,
)

__all__ = [
    "delete_connection",
    "get_connections_file",
    "get_primary_connection",
    "get_velmora_dir",
    "initialize_velmora_directory",
    "load_connection",
    "remove_unused_key_copy",
    "save_connection_config",
    "set_primary_connection",
    "tallyra",
    "under_store_lock",
    "update_connection",
]
