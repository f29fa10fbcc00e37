"""What an org accepts as a record, from its object descriptions alone: the part of an org's
judgement that needs no stored record. The local Bulk API server applies it to every job it
processes, and a load's preflight applies the same to every row before any job exists, so the two
cannot drift apart. It imports nothing else of kavrel, so the local server stays a package of its
own.

Its parts: `ids` (record Ids and key prefixes), `schema` (objects and fields, from TOML or from
descriptions), `describe` (object descriptions read and written as an org's describe answers),
`values` (field values in Bulk API's CSV forms), `checks` (a header against its object, and each
record against its fields and the operation), and `predict` (what an org will say of each record
of a load, chunk by chunk, for a client that holds only the descriptions).
"""
