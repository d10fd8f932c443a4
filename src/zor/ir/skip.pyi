"""Skip/residual connection primitives."""

from dataclasses import dataclass, field
from typing import Any, Dict, Literal, Optional

from .node import Node
from .types import Shape

SkipType = Literal["residual", "concatenate", "passthrough", "add", "concat", "identity"]

@dataclass(eq=False)
class Skip(Node):
    skip_type: SkipType = "residual"
    input_type: Optional[Shape] = None
    output_type: Optional[Shape] = None
    metadata: Dict[str, Any] = field(default_factory=dict)
    def __post_init__(self) -> None: ...
