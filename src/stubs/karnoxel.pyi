"""In-process vector storage and similarity search."""

# Type information for the karnoxel extension module. The wheel installs this
# file twice: as karnoxel.pyi beside the extension (read by pyright, Pylance,
# Jedi and other IDE engines) and as karnoxel-stubs/__init__.pyi (the stub-only
# package mypy and stubtest look for, since a single-module distribution has
# no package directory to hold a py.typed marker). The docstrings repeat the
# extension's own, so editors show them; tests/test_typing.py checks that both
# copies match the module at run time.

import sys
from collections.abc import Sequence
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__version__: Final[str]
__all__ = ["VectorStorage"]

_Number: TypeAlias = SupportsFloat | SupportsIndex

class _NumberArray(Protocol):
    # An array type that is no registered Sequence: numpy arrays, whose stubs
    # declare __buffer__ only from Python 3.12 on, match on any version.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

class _VectorArray(Protocol):
    # The same for arrays of vectors (a 2-D numpy array).
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Vector: ...

# One vector: a sequence of numbers (anything float() or an __index__ accepts;
# a str is refused), or an object exporting a buffer. 1-D C-contiguous float32
# and float64 buffers (numpy arrays, array.array("f"/"d"), memoryviews) are
# read directly; other buffers and arrays are read element by element.
_Vector: TypeAlias = Sequence[_Number] | Buffer | _NumberArray

# Many vectors: a sequence of vectors, or a 2-D C-contiguous float32/float64
# buffer with one vector per row.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer | _VectorArray

# Signatures spell out the metric names (accepted in any case; another str
# raises ValueError), the payload (str, int and float values are kept, the
# rest dropped with their key) and the hits, (point id, score) best first, so
# editors show them as they are.

@final
class VectorStorage:
    """A high-performance vector storage and similarity search engine exposed directly to Python runtimes.

    This struct functions as a safe, concurrent architectural encapsulation wrapper managing an isolated
    memory partition segment layer. It supports lock-free multi-threaded query streams and sequential persistence pipelines.
    """

    def __new__(cls) -> VectorStorage: ...
    def upsert(self, /, point_id: SupportsIndex, vector: _Vector, payload: dict[str, Any] | None) -> None:
        """Universally inserts or updates a coordinate entity embedding paired with dynamic structured metadata payloads.

        This atomic interface orchestrates memory lock updates across spatial configurations. It converts
        incoming structured attributes via localized parsers and triggers automatic HNSW graph re-weaving updates.

        # Parameters
        * `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its transactional registry key.
        * `vector` - A Python float list containing the raw coordinate tracking geometry parameters.
        * `payload` - An optional Python dictionary containing polymorphic data filters.

        # Errors
        Returns an operational initialization exception if underlying dictionary types fail transformation.
        """

    def search(
        self,
        /,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: Literal["cosine", "dot_product", "dot", "euclidean", "l2"] | str,
        tenant_id: str | None = None,
    ) -> list[tuple[int, float]]:
        """Searches the high-dimensional vector space to extract top-K nearest neighbors matching target query configurations.

        This framework evaluates cluster density bounds at runtime to seamlessly route lookups via exact linear
        KNN sweeps or optimized logarithmic HNSW structural mesh traversal loops. It enforces single-stage
        pre-filtering if an optional tenant constraint is provided.

        # Parameters
        * `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.
        * `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory slots.
        * `metric` - Configuration string matching supported parameters: `'cosine'`, `'dot_product'`, or `'euclidean'`.
        * `tenant_id` - An optional string key used to isolate workspace partitions under active multi-tenancy rules.

        # Returns
        A structured Python list containing tuple records formatted as: `(Point ID, Proximity Similarity Score)`.

        # Errors
        Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens.
        """

    def batch_search(
        self,
        /,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: Literal["cosine", "dot_product", "dot", "euclidean", "l2"] | str,
        tenant_id: str | None = None,
    ) -> list[list[tuple[int, float]]]:
        """Executes concurrent high-dimensional batch vector lookups across available hardware processing units.

        This engine utilizes a thread-safe parallel processing map (Rayon) to bypass Python runtime loop
        overheads. It drives multi-tenant graph filtering routines simultaneously across the matrix block workspace.

        # Parameters
        * `query_vectors` - A nested list of multiple analytical float matrix coordinates to process concurrently.
        * `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete query sequence.
        * `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or `'euclidean'`.
        * `tenant_id` - An optional string token used to restrict queries to specific isolated tenancy environments.

        # Returns
        A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, Score), ...], ...]`.

        # Errors
        Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown structural metric token.
        """

    def save(self, /, path: str) -> None:
        """Commits the running transactional database state snapshot directly onto localized physical storage tracks.

        # Parameters
        * `path` - The string location defining where to construct the output binary serialization snapshot asset.

        # Errors
        Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows.
        """

    def load(self, /, path: str) -> None:
        """Loads and completely rehydrates a pre-existing storage binary checkpoint file back into active memory pools.

        # Parameters
        * `path` - Target system path targeting the binary database record file to extract.

        # Errors
        Throws a standard `IOError` if input buffers contain broken byte signatures or version mismatches.
        """
