"""Translation of the Mongo-style metadata filters the frameworks use into dralm's
`where_filter` dicts. Shared by the LangChain and LlamaIndex stores; imports neither.

dralm's filters: ``{"field": value}`` (equality), ``{"field": {"$ne" | "$gt" | "$gte" |
"$lt" | "$lte" | "$in" | "$nin": operand}}``, ``{"$and": [...]}``, ``{"$or": [...]}``;
several keys in one dict must all hold, and a dotted field (``"a.b"``) reaches into
nested objects.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

# Operators that dralm writes the same way.
_SAME_OPERATORS = frozenset({"$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin"})
_LOGICAL = ("$and", "$or")


def translate_filter(filter: Mapping[str, Any] | None) -> dict[str, Any] | None:
    """The dralm `where_filter` for a framework filter, or None for no filter.

    An empty dict means "no filter" to the frameworks (dralm's own ``{}`` matches
    nothing), so it gives None. ``{"field": {"$eq": v}}`` becomes the equality
    ``{"field": v}``; the operators dralm lacks (``$exists``, ``$like``, ``$contains``
    and the like) raise ValueError naming them.
    """
    if filter is None:
        return None
    if not isinstance(filter, Mapping):
        raise TypeError(f"a metadata filter must be a dict, not {type(filter).__name__}")
    if not filter:
        return None
    return _translate(filter)


def all_of(terms: list[dict[str, Any]]) -> dict[str, Any]:
    """One filter that holds when every term holds: the terms merged into one dict
    when no key repeats, else an ``$and`` of them."""
    if len(terms) == 1:
        return terms[0]
    keys = [key for term in terms for key in term]
    if len(keys) == len(set(keys)):
        return {key: value for term in terms for key, value in term.items()}
    return {"$and": terms}


def _translate(node: Mapping[str, Any]) -> dict[str, Any]:
    if not isinstance(node, Mapping) or not node:
        raise ValueError(f"each filter inside $and / $or must be a non-empty dict, not {node!r}")
    terms: list[dict[str, Any]] = []
    for key, value in node.items():
        if not isinstance(key, str):
            raise TypeError(f"filter keys must be str, not {type(key).__name__}")
        if key in _LOGICAL:
            if not isinstance(value, (list, tuple)) or not value:
                raise ValueError(f"{key} needs a non-empty list of filters")
            terms.append({key: [_translate(member) for member in value]})
        elif key.startswith("$"):
            raise ValueError(f"unsupported filter operator: {key}")
        else:
            terms.extend(_field_terms(key, value))
    return all_of(terms)


def _field_terms(field: str, condition: Any) -> list[dict[str, Any]]:
    if not isinstance(condition, Mapping):
        return [{field: condition}]
    terms: list[dict[str, Any]] = []
    operators: dict[str, Any] = {}
    for operator, operand in condition.items():
        if operator == "$eq":
            terms.append({field: operand})
        elif operator in _SAME_OPERATORS:
            operators[operator] = list(operand) if isinstance(operand, tuple) else operand
        else:
            raise ValueError(f"unsupported filter operator: {operator}")
    if operators:
        terms.append({field: operators})
    if not terms:
        raise ValueError(f"the condition on {field!r} has no operator")
    return terms
