"""Adjacency of a graph's nodes and an order of them that follows the edges,
breaking cycles where they close."""

from __future__ import annotations

import heapq
from collections import deque
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple


class Adjacency:
    """Nodes numbered in insertion order, each with its distinct predecessors
    and successors in the order of the edges. For each entry of the edge
    list: the numbers of its ends, or None when it is not a pair of names of
    the nodes (such entries take no part here; validate() reports them), and
    whether it is the first of its pair; for the first of a pair listed more
    than once, how often it is listed."""

    def __init__(self, nodes: Mapping[Any, Any], edges: Iterable[Any]) -> None:
        self.names: List[Any] = list(nodes)
        self.nodes: List[Any] = list(nodes.values())
        self.index = {name: i for i, name in enumerate(self.names)}
        self.preds: List[List[int]] = [[] for _ in self.names]
        self.succs: List[List[int]] = [[] for _ in self.names]
        self.ends: List[Optional[Tuple[int, int]]] = []
        self.first: List[bool] = []
        self.repeats: Dict[int, int] = {}  # position of a pair listed again: how often in all
        first_position: Dict[Tuple[int, int], int] = {}
        index = self.index
        for position, edge in enumerate(edges):
            ends = None
            if type(edge) in (tuple, list) and len(edge) == 2:
                src, dst = edge
                s = index.get(src) if type(src) is str else None
                d = index.get(dst) if type(dst) is str else None
                if s is not None and d is not None:
                    ends = s, d
            self.ends.append(ends)
            if ends is None:
                self.first.append(False)
            elif ends in first_position:
                self.first.append(False)
                first = first_position[ends]
                self.repeats[first] = self.repeats.get(first, 1) + 1
            else:
                self.first.append(True)
                first_position[ends] = position
                self.succs[ends[0]].append(ends[1])
                self.preds[ends[1]].append(ends[0])

    def topological_order(self) -> List[int]:
        """Node indices in the order that Graph.topological_order()
        describes: Kahn's algorithm, and where it is stuck, a cycle opened at
        the node picked by _CycleEntries."""
        pending = [len(p) for p in self.preds]
        placed = [False] * len(self.names)
        ready = deque(v for v, count in enumerate(pending) if count == 0)
        order: List[int] = []
        entries = None
        while len(order) < len(self.names):
            if ready:
                v = ready.popleft()
            else:
                if entries is None:
                    entries = _CycleEntries(self, placed)
                v = entries.next(placed)
            placed[v] = True
            order.append(v)
            for w in self.succs[v]:
                if not placed[w]:
                    pending[w] -= 1
                    if pending[w] == 0:
                        ready.append(w)
                    if entries is not None:
                        entries.predecessor_placed(v, w)
        return order


class _CycleEntries:
    """The nodes that may open a cycle once the order is stuck: those whose
    predecessors in other strongly connected components are all placed,
    earliest inserted first, preferring the ones already fed by a placed
    node."""

    def __init__(self, adjacency: Adjacency, placed: List[bool]) -> None:
        self.component = _components(adjacency.succs)
        self.outside = [0] * len(placed)
        self.fed = [False] * len(placed)
        self.fed_heap: List[int] = []
        self.any_heap: List[int] = []
        for v, preds in enumerate(adjacency.preds):
            if placed[v]:
                continue
            for u in preds:
                if placed[u]:
                    self.fed[v] = True
                elif self.component[u] != self.component[v]:
                    self.outside[v] += 1
            if self.outside[v] == 0:
                self.any_heap.append(v)
                if self.fed[v]:
                    self.fed_heap.append(v)
        heapq.heapify(self.any_heap)
        heapq.heapify(self.fed_heap)

    def predecessor_placed(self, u: int, v: int) -> None:
        if self.component[u] != self.component[v]:
            self.outside[v] -= 1
            if self.outside[v] == 0:
                heapq.heappush(self.any_heap, v)
                if self.fed[v]:
                    heapq.heappush(self.fed_heap, v)
        if not self.fed[v]:
            self.fed[v] = True
            if self.outside[v] == 0:
                heapq.heappush(self.fed_heap, v)

    def next(self, placed: List[bool]) -> int:
        """The earliest inserted entry not yet placed; one always exists
        while nodes are left and none is ready."""
        while self.fed_heap and placed[self.fed_heap[0]]:
            heapq.heappop(self.fed_heap)
        heap = self.fed_heap or self.any_heap
        while placed[heap[0]]:
            heapq.heappop(heap)
        return heapq.heappop(heap)


def _components(succs: List[List[int]]) -> List[int]:
    """Strongly connected component of each node (Tarjan's algorithm, with an
    explicit stack so that long chains do not exhaust the interpreter's)."""
    count = len(succs)
    index = [-1] * count
    low = [0] * count
    on_stack = [False] * count
    component = [-1] * count
    stack: List[int] = []
    counter = components = 0
    for root in range(count):
        if index[root] != -1:
            continue
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack[root] = True
        work = [(root, 0)]
        while work:
            v, i = work[-1]
            if i < len(succs[v]):
                work[-1] = (v, i + 1)
                w = succs[v][i]
                if index[w] == -1:
                    index[w] = low[w] = counter
                    counter += 1
                    stack.append(w)
                    on_stack[w] = True
                    work.append((w, 0))
                elif on_stack[w]:
                    low[v] = min(low[v], index[w])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[v])
            if low[v] == index[v]:
                while True:
                    w = stack.pop()
                    on_stack[w] = False
                    component[w] = components
                    if w == v:
                        break
                components += 1
    return component
