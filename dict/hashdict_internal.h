// hashdict_internal.h: the static dictionary's pieces below its C interface, shared by its three
// sources and reachable by the library's own tests: the key hash, the check bytes, the construction
// graph and the image's header layout.
#ifndef ZKDICT_DICT_HASHDICT_INTERNAL_H
#define ZKDICT_DICT_HASHDICT_INTERNAL_H

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "dict/bitarray.h"
#include "dict/hashdict.h"

namespace zk {

// The source path that the family's allocations and reports name, and the module of its reports.
inline constexpr const char* kHashDictPath = "dict/hashdict";
inline constexpr const char* kHashDictModule = "zkdict";

// ---- hashing and lookup ----------------------------------------------------------------------------

// The function-table entry of vertex v.
inline ULong FunGet(const HashDict* hdict, Id v) { return PackedArray(hdict->h_fun, hdict->h_nbits).Get(v); }
inline void FunSet(const HashDict* hdict, Id v, ULong value) {
    PackedArray(hdict->h_fun, hdict->h_nbits).Set(v, value);
}

// x mod m for x below 2m. The comparison is a coin toss on hashed data, so it must not become a
// branch: the unsigned minimum picks x when x - m wraps, and compiles to a conditional move.
inline ULong Reduce(ULong x, ULong m) { return std::min(x, x - m); }

// The three distinct vertices (1 to h_size) of a key, or FALSE, with nothing stored, when the key is
// longer than h_maxlen or holds a byte value of rank -1. Every coefficient must be below h_size.
//
// Each c is a sum of coefficients modulo its m. Reducing at every byte would put a compare and a
// conditional move (two for c2, whose coefficients may reach m2 + 1) on each byte's dependency
// chain; the sums instead run unreduced in 64 bits, which hold 65535 coefficients below 2^32, and
// are reduced once at the end, to the same values.
[[gnu::always_inline]] inline Boolean Hash(const HashDict* hdict, Id* pc0, Id* pc1, Id* pc2, const UByte* bytes,
                                           int len) {
    if (len > static_cast<int>(hdict->h_maxlen)) return FALSE;
    const ULong m0 = hdict->h_size;
    const ULong m1 = m0 - 1;
    const ULong m2 = m0 - 2;
    const Short* rank = hdict->h_rank;
    const Id* row = hdict->h_coef;
    const unsigned nchars = hdict->h_nchars;
    const size_t stride = 3 * size_t{nchars};
    ULong s0 = 0, s1 = 0, s2 = 0;
    for (int p = 0; p < len; ++p, row += stride) {
        const int r = rank[bytes[p]];
        // Rank -1 (a byte no key holds) and any rank past the coefficients fail alike: the rank table
        // lies in the image, and a file rewritten under an open dictionary must not lead the
        // coefficient read outside it. One unsigned comparison covers both.
        if (static_cast<unsigned>(r) >= nchars) return FALSE;
        const Id* t = row + 3 * r;
        s0 += t[0];
        s1 += t[1];
        s2 += t[2];
    }
    const ULong c0 = s0 % m0, c1 = s1 % m1, c2 = s2 % m2;
    const ULong d1 = c1 + 1;
    const ULong d2 = c2 + 1 + (c2 >= c1 ? 1 : 0);  // never equal to d1, so the vertices differ
    *pc0 = static_cast<Id>(c0 + 1);
    *pc1 = static_cast<Id>(Reduce(c0 + d1, m0) + 1);
    *pc2 = static_cast<Id>(Reduce(c0 + d2, m0) + 1);
    ZK_ASSERT(*pc0 <= m0);
    ZK_ASSERT(*pc1 <= m0);
    return TRUE;
}

// With set FALSE: id when the check bytes stored for id equal the key's, else HASHDICT_NOT_FOUND.
// With set TRUE (construction only): stores the key's check bytes for id and returns id. id must be
// below h_nentries and h_probe at least 1.
Id Probe(const HashDict* hdict, Boolean set, Id id, const UByte* bytes, int l);

// The key's check code in full 64 bits, before h_probe_mask keeps its check bytes.
ULong CheckCode(const UByte* bytes, int len);

// ---- construction ----------------------------------------------------------------------------------

// The build's random numbers: exactly the sequence that srandom(0) and then random() give with the C
// library's default generator, drawn from a state of the build's own, so that concurrent builds stay
// deterministic and the process's random() sequence is left alone.
class BuildRandom {
public:
    BuildRandom();
    BuildRandom(const BuildRandom&) = delete;
    BuildRandom& operator=(const BuildRandom&) = delete;
    // The next value, 0 to 2^31 - 1.
    ULong Next();

private:
    // The size of the default generator's state, which decides the algorithm initstate_r picks.
    alignas(int32_t) char state_[128];
    struct random_data data_;
};

enum : UByte { MEMBER = 0, REMOVED = 1 };

// One frame of the depth-first peel: edge s_edge, reached through vertex s_vertex, resumes at step
// s_status (0: remove the edge, then examine its vertex 0; 1, 2: examine that vertex).
struct State {
    Id s_edge;
    Id s_vertex;
    UByte s_status;
};

// The 3-hypergraph of one construction attempt, one edge per key (edge e is key e - 1), made once
// per build and reused by every attempt.
//
// The peel asks one question of a vertex: which edge is the only one left at it, if only one is.
// Each vertex therefore keeps the number of edges still linked to it and the exclusive-or of their
// numbers, which names that edge as soon as the count is 1. That answers exactly as a linked list
// of the vertex's edges would, in one memory access instead of a walk: the peel's order, and so the
// dictionary, is the same, while each step touches one record per vertex instead of list nodes
// scattered over the graph. An edge is never unlinked from the vertex through which it was peeled,
// so that vertex goes on naming it, with its status REMOVED.
struct Graph {
    void* g_node;           // packed, 3 x (h_nentries + 1): entry 3e + k is vertex k of edge e
    UShort g_node_nbits;
    void* g_vertex;         // packed, h_size + 1: (count << g_edge_nbits) | exclusive-or of linked edges
    UShort g_vertex_nbits;  // 2 x g_edge_nbits: a count never exceeds h_nentries
    void* g_status;         // 1 bit each: edge MEMBER or REMOVED while peeling; vertex assigned after
    Id g_edge_top;          // edges on the peel stack
    void* g_edge;           // packed, h_nentries: the peel stack, edges in their order of removal
    UShort g_edge_nbits;    // the width of an edge number, PackedWidth(h_nentries)
    Id g_state_allocated;   // frames g_state has room for
    Id g_state_top;         // frames in use
    State* g_state;         // the explicit stack of the depth-first peel
};

// Where a step of the build goes when it cannot go on. HashDictBuild passes none: each failure is
// then the assertion or fatal report it has always been. HashDictTryBuild passes one: the step
// records the reason in it and returns false, and the process goes on.
struct BuildFailure {
    HashDictBuildErrorCode code = HASHDICT_ERROR_NONE;
    Id first = 0;   // the two equal keys of HASHDICT_ERROR_DUPLICATE
    Id second = 0;
};

// The steps of HashDictBuild, in their order. maxvalue is the largest value a lookup returns. Those
// that return bool give false only with a BuildFailure, after recording why in it.
bool HashDictInit(HashDict* hdict, Id nentries, ULong maxvalue, void* dict, DictKeyFun key, UByte probe,
                  Boolean verbose, BuildFailure* fail = nullptr);
Graph* GraphNew(const HashDict* hdict);
// Draws coefficients and hashes the keys until the graph peels completely; the peel order is left
// on the graph's edge stack. Without a BuildFailure, ends the process when no attempt succeeds.
bool GraphBuild(Graph* graph, HashDict* hdict, void* dict, DictKeyFun key, Boolean verbose, BuildRandom* random,
                BuildFailure* fail = nullptr);
// Links every edge of g_node to its vertices and peels; TRUE when every edge came off.
Boolean GraphAcyclic(Graph* graph, const HashDict* hdict);
// Removes edge e, the only edge left at vertex v, and depth first every edge that this leaves alone
// at one of its vertices.
void DeleteAllEdges(Graph* graph, Id v, Id e);
// Gives every vertex of the peeled graph its function-table entry.
void GraphAssign(Graph* graph, HashDict* hdict, void* dict, DictValFun val);
void GraphDelete(Graph* graph);
// Stores every key's check bytes and verifies every key by lookup.
bool HashDictProbe(HashDict* hdict, void* dict, DictKeyFun key, BuildFailure* fail = nullptr);

// Vertex k of edge e.
inline Id NodeGet(const Graph* graph, Id e, unsigned k) {
    return static_cast<Id>(PackedArray(graph->g_node, graph->g_node_nbits).Get(3 * ULong{e} + k));
}
inline void NodeSet(const Graph* graph, Id e, unsigned k, Id v) {
    PackedArray(graph->g_node, graph->g_node_nbits).Set(3 * ULong{e} + k, v);
}
// The three vertices of edge e.
inline std::array<Id, 3> NodeTriple(const Graph* graph, Id e) {
    return {NodeGet(graph, e, 0), NodeGet(graph, e, 1), NodeGet(graph, e, 2)};
}
inline Id EdgeGet(const Graph* graph, Id i) {
    return static_cast<Id>(PackedArray(graph->g_edge, graph->g_edge_nbits).Get(i));
}
inline UByte StatusGet(const Graph* graph, Id i) { return static_cast<UByte>(PackedArray(graph->g_status, 1).Get(i)); }

// ---- images ------------------------------------------------------------------------------------------

// The image header as it lies in the image, in the writer's byte order (see dict/hashdict.h).
struct ImageHeader {
    UInt nentries;
    UInt size;
    UShort maxlen;
    UShort nbits;
    UShort nchars;
    UShort probe;
    ULong rank_size;
    ULong coef_size;
    ULong fun_size;
    ULong probe_size;
};
inline constexpr size_t kImageHeaderSize = 48;

// Why the length bytes at data cannot be opened as an image, or NULL when they can: every size,
// count, width and table entry that a lookup relies on is checked against the bytes present. Reads
// only the header, the rank table and the coefficients in use.
const char* ImageFault(const UByte* data, size_t length);

// Opens the image of length bytes at data into hdict, in place. FALSE with errno EINVAL when
// ImageFault finds a fault.
Boolean HashDictMemOpen_(HashDict* hdict, const UByte* data, size_t length);

// Writes nbytes bytes made of units of size bytes, each unit byte-reversed when swap is TRUE.
Boolean WriteBytes(Channel* f, Boolean swap, size_t size, const void* bytes, size_t nbytes);

}  // namespace zk

#endif  // ZKDICT_DICT_HASHDICT_INTERNAL_H
