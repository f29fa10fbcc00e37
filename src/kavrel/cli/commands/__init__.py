"""Command functions behind the kavrel subcommands."""
