"""A mutator for the Python fuzz targets whose inputs are JSON (a lake's
tree, the inside of a cursor), for atheris's custom_mutator."""

from __future__ import annotations

import json
import random

# What a value is replaced with: the edges of the numbers the package's
# texts hold (a 16-bit day or id, a 64-bit offset or instant), other types,
# empty containers and places.
ODD_VALUES = (0, 1, -1, 65535, 65536, 2 ** 31, 2 ** 63 - 1, 2 ** 63, 2 ** 64, -2 ** 63, 10 ** 30, 0.5, "", "x", None,
              True, False, [], {}, [0, 0, 0], [0, 0, 0, True])


def mutate_json(data: bytes, max_size: int, seed: int) -> bytes:
    """Most often one value of the input's JSON changed (a number moved a
    little or to an edge, a value of another type, a field or an item
    removed or repeated), so that mutations keep the input readable and
    reach what is done with it; else atheris's byte mutations."""
    import atheris

    rng = random.Random(seed)
    try:
        tree = json.loads(data)
    except (ValueError, RecursionError):
        tree = None
    if not isinstance(tree, (dict, list)) or rng.random() < 0.2:
        return atheris.Mutate(data, max_size)
    places = []  # (container, key) of every value below the top

    def collect(node: object) -> None:
        items = node.items() if isinstance(node, dict) else enumerate(node) if isinstance(node, list) else ()
        for key, value in list(items):
            places.append((node, key))
            collect(value)

    collect(tree)
    if not places:
        return atheris.Mutate(data, max_size)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        node, key = rng.choice(places)
        value = node[key]
        choice = rng.random()
        if isinstance(value, int) and not isinstance(value, bool) and choice < 0.5:
            node[key] = value + rng.choice((-1, 1)) * rng.choice((1, 2, 255, 4096, 10 ** 9, 86_400 * 10 ** 9, value))
        elif choice < 0.75:
            node[key] = rng.choice(ODD_VALUES)
        elif choice < 0.85 and isinstance(node, dict):
            del node[key]
            break  # the places below it are gone
        elif isinstance(node, list):
            node.insert(key, json.loads(json.dumps(value)))
            break
        else:
            node[key] = json.loads(json.dumps(rng.choice(places)[0]))
            break
    return json.dumps(tree, separators=(",", ":")).encode()[:max_size]
