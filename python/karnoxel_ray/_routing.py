"""Which shard holds a point: a fixed, versioned function of the point's id.

The rule is part of every saved sharded store (its manifest names the
version), because a point must live on exactly one shard for ever: if the
rule changed, a re-upsert would land on another shard and leave a stale copy
behind. A new rule gets a new version name; old names stay readable.
"""

ROUTING = "splitmix64-v1"
"""Version of the routing rule written into manifests and required by load."""

_MASK = (1 << 64) - 1


def mix64(point_id):
    """The splitmix64 finaliser of ``point_id`` (an int in 0 .. 2**64-1).

    Ids that users pick are often sequential or share low bits; the mix
    spreads any such pattern evenly over the shards, and unlike Python's
    ``hash`` it is the same in every process and on every platform."""
    z = (point_id + 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def shard_of(point_id, shard_count):
    """The shard (0 .. shard_count-1) that holds ``point_id`` under ``ROUTING``."""
    return mix64(point_id) % shard_count
