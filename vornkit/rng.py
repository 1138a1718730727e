"""Seeds: an engine's random generator set from a number, and the seeds of ensemble members."""

from __future__ import annotations

from .checks import SEED_LIMIT, check_seed, whole_number

__all__ = ["reseed", "member_seed", "SEED_LIMIT"]

_MASK = SEED_LIMIT - 1


def reseed(engine, seed: int) -> None:
    """Set ``engine``'s random generator from the 64-bit integer ``seed`` (``0 <= seed < 2**64``).

    From then on the same rules, the same starting hypergraph and the same
    sequence of calls give the same hypergraph, step for step, in every run
    and every process on one build of vorn: the matcher's candidate order,
    the list of anchor vertices and the store's iteration orders depend only
    on the store and the steps taken, never on addresses or hash seeds.
    Vertex and hyperedge ids come from counters shared by all engines of a
    process, so two fresh processes that do the same things get the same
    ids, while a second engine in one process gets other ids (the same graph
    up to renaming).  Builds may differ (another compiler or library
    version can change an order).

    The generator is ChaCha with 12 rounds (block counter and stream number
    starting at 0), keyed with 32 bytes expanded from ``seed`` by PCG32: the
    64-bit state starts at ``seed``; eight times, the state is advanced
    (``state = state * 6364136223846793005 + 11634580027462260723`` modulo
    2**64) and the 32-bit output ``rotr32((((state >> 18) ^ state) >> 27)
    mod 2**32, state >> 59)`` of the new state is appended to the key in
    little-endian byte order.  This is the derivation the engine's seeded
    construction uses.

    An engine that is never reseeded keeps the generator it drew from the
    operating system's entropy.  Raises ``ValueError`` for a seed that is
    not an integer in range, and ``TypeError`` when ``engine`` is not a
    ``vorn.Engine``.
    """
    from ._companion import native

    native().reseed(engine, check_seed(seed))


def member_seed(seed: int, member: int) -> int:
    """The seed of ensemble member ``member`` (0, 1, ...) in an ensemble seeded with ``seed``.

    It is output number ``member + 1`` of SplitMix64 started at ``seed``:
    ``z = (seed + (member + 1) * 0x9E3779B97F4A7C15) mod 2**64``, then
    ``z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9``, ``z = (z ^ (z >> 27)) *
    0x94D049BB133111EB`` (each modulo 2**64) and ``z ^ (z >> 31)``.  The
    steps are one-to-one, so different members of one ensemble always get
    different seeds, and neighbouring seeds give unrelated member seeds.
    """
    seed = check_seed(seed)
    member = whole_number(member, "member")
    z = (seed + (member + 1) * 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)
