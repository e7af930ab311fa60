// Construction of the static dictionary: draw coefficients, hash every key to an edge of a
// 3-hypergraph, peel the graph, and assign the function table in reverse peeling order.
#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dict/bitarray.h"
#include "dict/hashdict.h"
#include "dict/hashdict_internal.h"

namespace zk {
namespace {

constexpr const char* kPath = kHashDictPath;
// Attempts after which a key list counts as impossible. Near the graph's 1.25 vertices per key a
// random attempt fails rarely, so a thousand failures in a row mean keys that no coefficients can
// separate.
constexpr unsigned kMaxAttempts = 1000;
// How many steps ahead the graph's loops ask for the memory they will need, and the vertex count
// from which they do: a smaller graph stays in the caches, where asking costs more than it saves.
constexpr Id kAhead = 16;
constexpr Id kAheadFrom = Id{1} << 18;

// kAhead for a large graph, and for a small one a distance no loop reaches.
Id AheadFor(const HashDict* hdict) { return hdict->h_size >= kAheadFrom ? kAhead : Id{1} << 30; }

void Report(int line, const char* function, int severity) {
    ZKSetMessageContext2_(kPath, line, kHashDictModule, function, severity, 0);
}

// Records why the build stops, for HashDictTryBuild; false, so that a step can return it.
bool Failed(BuildFailure* fail, HashDictBuildErrorCode code, Id first = 0, Id second = 0) {
    fail->code = code;
    fail->first = first;
    fail->second = second;
    return false;
}

// Key idx from the callback, in *bytes and *len. A callback that stores NULL breaks the build's
// contract: false with HASHDICT_ERROR_INVALID for HashDictTryBuild, the assertion for HashDictBuild.
inline bool KeyAt(DictKeyFun key, void* dict, Id idx, const UByte** out, UShort* len, BuildFailure* fail) {
    const UByte* bytes = nullptr;
    *len = key(dict, idx, &bytes);
    if (bytes == nullptr && fail != nullptr) return Failed(fail, HASHDICT_ERROR_INVALID);
    ZK_ASSERT(bytes != NULL);
    *out = bytes;
    return true;
}

// The bytes of a block of n values of the given width, as ArrayNew_ sized it.
size_t BlockBytes(unsigned width, ULong n) { return (width * n + 63) / 64 * 8; }

PackedArray Vertex(const Graph* g) { return PackedArray(g->g_vertex, g->g_vertex_nbits); }
PackedArray Status(const Graph* g) { return PackedArray(g->g_status, 1); }

void StatusSet(const Graph* g, Id i, UByte status) { Status(g).Set(i, status); }

void PushEdge(Graph* g, Id e) { PackedArray(g->g_edge, g->g_edge_nbits).Set(g->g_edge_top++, e); }

Id PopEdge(Graph* g) {
    if (g->g_edge_top == 0) return 0;
    return EdgeGet(g, --g->g_edge_top);
}

// A vertex record's edge count and the edge it names when the count is 1.
inline ULong Count(const Graph* g, ULong record) { return record >> g->g_edge_nbits; }
inline Id Named(const Graph* g, ULong record) {
    return static_cast<Id>(record & ((ULong{1} << g->g_edge_nbits) - 1));
}

void LinkEdge(const Graph* g, Id w, Id e) {
    const PackedArray vertex = Vertex(g);
    vertex.Set(w, (vertex.Get(w) + (ULong{1} << g->g_edge_nbits)) ^ e);
}

// Unlinks edge e from vertex w, and returns what w's record says now.
ULong DeleteEdge(const Graph* g, Id w, Id e) {
    const PackedArray vertex = Vertex(g);
    const ULong record = (vertex.Get(w) - (ULong{1} << g->g_edge_nbits)) ^ e;
    vertex.Set(w, record);
    return record;
}

// The edge of vertex v when exactly one is linked to it, else 0.
inline Id Singleton(const Graph* g, Id v) {
    const ULong record = Vertex(g).Get(v);
    return Count(g, record) == 1 ? Named(g, record) : 0;
}

void PushState(Graph* g, Id v, Id e, UByte step) {
    if (g->g_state_top == g->g_state_allocated) {
        g->g_state_allocated *= 2;
        g->g_state = static_cast<State*>(
            Allocate_(sizeof(State) * size_t{g->g_state_allocated}, g->g_state, kPath, __LINE__));
    }
    g->g_state[g->g_state_top++] = State{e, v, step};
}

// After a failed attempt: two edges left unpeeled on the same three vertices whose keys have the
// same bytes. No coefficients can ever separate such a pair, so it is worth a look before another
// attempt. The unpeeled edges are sorted by their vertices, and key bytes are compared only for
// equal vertex triples, which distinct keys almost never have. The unpeeled edges are few unless
// an attempt fails on a large core, which near the graph's 1.25 vertices per key is rare.
bool FindDuplicateKeys(const Graph* g, void* dict, DictKeyFun key, Id nentries, Id* first, Id* second) {
    const PackedArray status = Status(g);
    std::vector<Id> left;
    left.reserve(nentries - g->g_edge_top);
    for (Id e = 1; e <= nentries; ++e) {
        if (status.Get(e) == MEMBER) left.push_back(e);
    }
    const auto triple = [g](Id e) { return NodeTriple(g, e); };
    std::sort(left.begin(), left.end(), [&](Id a, Id b) { return std::pair(triple(a), a) < std::pair(triple(b), b); });
    std::string bytes;
    for (size_t i = 1; i < left.size(); ++i) {
        const Id e = left[i - 1], f = left[i];
        if (triple(e) != triple(f)) continue;
        // Every key came through the scan and the attempt, so only a callback that changed its
        // answer gives NULL here; such a pair is then no proof of equal keys.
        const UByte* p = nullptr;
        UShort len = key(dict, e - 1, &p);
        if (p == nullptr) continue;
        bytes.assign(reinterpret_cast<const char*>(p), len);
        p = nullptr;
        len = key(dict, f - 1, &p);
        if (p != nullptr && len == bytes.size() && std::memcmp(p, bytes.data(), len) == 0) {
            *first = e - 1;
            *second = f - 1;
            return true;
        }
    }
    return false;
}

}  // namespace

BuildRandom::BuildRandom() {
    // initstate_r reads the state pointer of data_ before setting it up, so it must start cleared.
    std::memset(&data_, 0, sizeof data_);
    std::memset(state_, 0, sizeof state_);
    int rc = initstate_r(0, state_, sizeof state_, &data_);
    ZK_ASSERT(rc == 0);
}

ULong BuildRandom::Next() {
    int32_t value = 0;
    random_r(&data_, &value);
    return static_cast<ULong>(value);
}

bool HashDictInit(HashDict* hdict, Id nentries, ULong maxvalue, void* dict, DictKeyFun key, UByte probe,
                  Boolean verbose, BuildFailure* fail) {
    hdict->h_created = TRUE;
    hdict->h_nentries = nentries;
    hdict->h_size = static_cast<Id>(static_cast<double>(nentries) * 1.25) + 5;
    hdict->h_fun = ArrayNew_(ULong{hdict->h_size} + 1, maxvalue, &hdict->h_nbits, &hdict->h_fun_size, kPath, __LINE__);

    hdict->h_rank = static_cast<Short*>(ArrayNew_(256, 0xFFFF, nullptr, &hdict->h_rank_size, kPath, __LINE__));
    Short* rank = hdict->h_rank;
    for (int b = 0; b < 256; ++b) rank[b] = 0;
    UShort maxlen = 0;
    for (Id idx = 0; idx < nentries; ++idx) {
        const UByte* bytes;
        UShort len;
        if (!KeyAt(key, dict, idx, &bytes, &len, fail)) return false;
        for (UShort i = 0; i < len; ++i) rank[bytes[i]] = 1;
        if (len > maxlen) maxlen = len;
    }
    hdict->h_maxlen = maxlen;
    UShort nchars = 0;
    for (int b = 0; b < 256; ++b) rank[b] = rank[b] == 1 ? static_cast<Short>(nchars++) : Short{-1};
    hdict->h_nchars = nchars;

    hdict->h_coef = static_cast<Id*>(
        ArrayNew_(3 * ULong{nchars} * maxlen, 0xFFFFFFFFu, nullptr, &hdict->h_coef_size, kPath, __LINE__));

    ZK_ASSERT(probe <= 8);
    hdict->h_probe = probe;
    if (probe == 0) {
        hdict->h_probe_code = nullptr;
        hdict->h_probe_size = 0;
        hdict->h_probe_mask = 0;
    } else {
        hdict->h_probe_mask = probe == 8 ? ~ULong{0} : (ULong{1} << (8 * probe)) - 1;
        hdict->h_probe_code = static_cast<UByte*>(
            ArrayNew_(ULong{probe} * nentries, 0xFF, nullptr, &hdict->h_probe_size, kPath, __LINE__));
    }
    hdict->h_file = nullptr;
    hdict->h_file_size = 0;
    if (verbose) {
        Report(__LINE__, "HashDictInit", 2);
        ZKMessage_("hdict: nentries=%d", hdict->h_nentries);
    }
    return true;
}

Graph* GraphNew(const HashDict* hdict) {
    const ULong n = hdict->h_nentries;
    auto* g = static_cast<Graph*>(Allocate_(sizeof(Graph), nullptr, kPath, __LINE__));
    g->g_node = ArrayNew_(3 * n + 3, hdict->h_size, &g->g_node_nbits, nullptr, kPath, __LINE__);
    g->g_edge_top = 0;
    g->g_edge = ArrayNew_(n, n, &g->g_edge_nbits, nullptr, kPath, __LINE__);
    // ArrayNew_ gives the edge width even for an empty stack.
    const ULong recordMax = (ULong{1} << (2 * g->g_edge_nbits)) - 1;
    g->g_vertex = ArrayNew_(ULong{hdict->h_size} + 1, recordMax, &g->g_vertex_nbits, nullptr, kPath, __LINE__);
    g->g_status = ArrayNew_(ULong{hdict->h_size} + 1, 1, nullptr, nullptr, kPath, __LINE__);
    g->g_state_allocated = 1024;
    g->g_state_top = 0;
    g->g_state = static_cast<State*>(Allocate_(sizeof(State) * g->g_state_allocated, nullptr, kPath, __LINE__));
    return g;
}

bool GraphBuild(Graph* graph, HashDict* hdict, void* dict, DictKeyFun key, Boolean verbose, BuildRandom* random,
                BuildFailure* fail) {
    const ULong ncoef = 3 * ULong{hdict->h_nchars} * hdict->h_maxlen;
    for (unsigned attempts = 0;;) {
        if (verbose && attempts > 0) {
            Report(__LINE__, "GraphBuild", 2);
            ZKMessage_("hdict: retry %d", attempts);
        }
        for (ULong i = 0; i < ncoef; ++i) hdict->h_coef[i] = static_cast<Id>(random->Next() % hdict->h_size);
        for (Id idx = 0; idx < hdict->h_nentries; ++idx) {
            const UByte* bytes;
            UShort len;
            if (!KeyAt(key, dict, idx, &bytes, &len, fail)) return false;
            Id v0, v1, v2;
            // Every key passed the scan, so only a key callback that changed its answer fails here.
            const Boolean hashed = Hash(hdict, &v0, &v1, &v2, bytes, len);
            if (!hashed && fail != nullptr) return Failed(fail, HASHDICT_ERROR_INVALID);
            ZK_ASSERT(hashed);
            NodeSet(graph, idx + 1, 0, v0);
            NodeSet(graph, idx + 1, 1, v1);
            NodeSet(graph, idx + 1, 2, v2);
        }
        if (++attempts == kMaxAttempts + 1) {
            if (fail != nullptr) return Failed(fail, HASHDICT_ERROR_CANNOT_GENERATE);
            Report(__LINE__, "GraphBuild", 4);
            ZKMessage_("hdict: cannot generate");
        }
        if (GraphAcyclic(graph, hdict)) break;
        Id first, second;
        if (FindDuplicateKeys(graph, dict, key, hdict->h_nentries, &first, &second)) {
            if (fail != nullptr) return Failed(fail, HASHDICT_ERROR_DUPLICATE, first, second);
            Report(__LINE__, "GraphBuild", 3);
            ZKMessage_("hdict: duplicate keys %u and %u", first, second);
            Report(__LINE__, "GraphBuild", 4);
            ZKMessage_("hdict: cannot generate");
        }
    }
    if (verbose) {
        Report(__LINE__, "GraphBuild", 2);
        ZKMessage_("hdict: size=%lukB", static_cast<unsigned long>((hdict->h_rank_size + hdict->h_coef_size +
                                                                     hdict->h_fun_size + hdict->h_probe_size) /
                                                                    1024));
    }
    return true;
}

Boolean GraphAcyclic(Graph* graph, const HashDict* hdict) {
    const PackedArray vertex = Vertex(graph);
    const PackedArray status = Status(graph);
    // Entry 0 belongs to no vertex and is never linked, so clearing the whole block clears vertices
    // 1 to h_size and nothing else that matters; likewise every edge becomes a MEMBER at once.
    std::memset(graph->g_vertex, 0, BlockBytes(vertex.width(), ULong{hdict->h_size} + 1));
    std::memset(graph->g_status, 0, BlockBytes(1, ULong{hdict->h_size} + 1));
    // Linking touches three random records per edge; in a graph larger than the caches, asking for
    // them kAhead edges early lets those misses overlap instead of queueing one behind the other.
    const Id n = hdict->h_nentries;
    const Id ahead = AheadFor(hdict);
    for (Id e = 1; e <= n; ++e) {
        if (e + ahead <= n) {
            for (Id w : NodeTriple(graph, e + ahead)) vertex.Prefetch(w);
        }
        for (Id w : NodeTriple(graph, e)) LinkEdge(graph, w, e);
    }
    graph->g_edge_top = 0;
    graph->g_state_top = 0;
    status.Set(0, REMOVED);
    // Most peels start here, at an edge alone at its vertex; fetch such an edge's vertices 2 x kAhead
    // vertices early and their records kAhead vertices early. A later peel may still change what a
    // vertex holds by the time the scan arrives, which only wastes a fetch.
    const Id size = hdict->h_size;
    const PackedArray node(graph->g_node, graph->g_node_nbits);
    for (Id v = 1; v <= size; ++v) {
        if (v + 2 * ahead <= size) {
            const Id far = Singleton(graph, v + 2 * ahead);
            if (far != 0) node.Prefetch(3 * ULong{far});
            const Id near = Singleton(graph, v + ahead);
            if (near != 0) {
                for (Id w : NodeTriple(graph, near)) vertex.Prefetch(w);
            }
        }
        const Id e = Singleton(graph, v);
        if (status.Get(e) == MEMBER) DeleteAllEdges(graph, v, e);
    }
    return graph->g_edge_top == hdict->h_nentries ? TRUE : FALSE;
}

void DeleteAllEdges(Graph* graph, Id v, Id e) {
    const PackedArray vertex = Vertex(graph);
    const PackedArray node(graph->g_node, graph->g_node_nbits);
    ZK_ASSERT(graph->g_state_top == 0);
    PushState(graph, v, e, 0);
    while (graph->g_state_top > 0) {
        const State s = graph->g_state[--graph->g_state_top];
        v = s.s_vertex;
        e = s.s_edge;
        unsigned k = s.s_status;
        const std::array<Id, 3> w = NodeTriple(graph, e);
        if (k == 0) {
            ZK_ASSERT(StatusGet(graph, e) == MEMBER);
            StatusSet(graph, e, REMOVED);
            PushEdge(graph, e);
            // The peel is a chain of dependent misses: an edge's vertices, their records, the next
            // edge's vertices. Start the three records at once, and the vertices of every edge that
            // this removal leaves alone, which the examinations below are about to visit.
            for (unsigned j = 0; j < 3; ++j) vertex.Prefetch(w[j]);
            for (unsigned j = 0; j < 3; ++j) {
                if (w[j] == v) continue;
                const ULong record = DeleteEdge(graph, w[j], e);
                if (Count(graph, record) == 1) node.Prefetch(3 * ULong{Named(graph, record)});
            }
        }
        for (; k < 3; ++k) {
            if (w[k] == v) continue;
            const Id f = Singleton(graph, w[k]);
            if (StatusGet(graph, f) != MEMBER) continue;
            if (k < 2) PushState(graph, v, e, static_cast<UByte>(k + 1));
            PushState(graph, w[k], f, 0);
            break;
        }
    }
}

void GraphAssign(Graph* graph, HashDict* hdict, void* dict, DictValFun val) {
    const PackedArray assigned = Status(graph);
    std::memset(graph->g_status, 0, BlockBytes(1, ULong{hdict->h_size} + 1));  // no vertex assigned
    const PackedArray node(graph->g_node, graph->g_node_nbits);
    const PackedArray fun(hdict->h_fun, hdict->h_nbits);
    const Id ahead = AheadFor(hdict);
    for (Id e; (e = PopEdge(graph)) != 0;) {
        // The stack is known in advance: fetch the vertices of an edge due 2 x kAhead pops from now,
        // and the entries of one due kAhead pops from now.
        if (graph->g_edge_top >= 2 * ahead) {
            node.Prefetch(3 * ULong{EdgeGet(graph, graph->g_edge_top - 2 * ahead)});
        }
        if (graph->g_edge_top >= ahead) {
            const Id soon = EdgeGet(graph, graph->g_edge_top - ahead);
            for (Id u : NodeTriple(graph, soon)) fun.Prefetch(u);
        }
        ULong value = val != nullptr ? val(dict, e - 1) : e - 1;
        Id w = 0;
        for (Id u : NodeTriple(graph, e)) {
            if (assigned.Get(u)) {
                value ^= FunGet(hdict, u);
            } else {
                FunSet(hdict, u, 0);
                assigned.Set(u, 1);
                w = u;
            }
        }
        // The vertex through which e was peeled belongs to no edge peeled after it.
        ZK_ASSERT(w != 0);
        FunSet(hdict, w, value);
    }
}

void GraphDelete(Graph* graph) {
    AnonArrayFree_(graph->g_node, kPath, __LINE__);
    AnonArrayFree_(graph->g_vertex, kPath, __LINE__);
    AnonArrayFree_(graph->g_status, kPath, __LINE__);
    if (graph->g_edge != nullptr) AnonArrayFree_(graph->g_edge, kPath, __LINE__);
    UnAllocate_(graph->g_state, kPath, __LINE__);
    UnAllocate_(graph, kPath, __LINE__);
}

bool HashDictProbe(HashDict* hdict, void* dict, DictKeyFun key, BuildFailure* fail) {
    for (Id idx = 0; idx < hdict->h_nentries; ++idx) {
        const UByte* bytes;
        UShort len;
        if (!KeyAt(key, dict, idx, &bytes, &len, fail)) return false;
        Probe(hdict, TRUE, idx, bytes, len);
        // One lookup for both entries; spelled out so that the assertion keeps its text.
        if (HashDictFind(hdict, bytes, len) != idx) {
            if (fail != nullptr) return Failed(fail, HASHDICT_ERROR_INVALID);
            ZKAssertFail_("HashDictFind(hdict, bytes, len) == idx", __FILE__, __LINE__, ZK_ASSERT_FUNCTION);
        }
    }
    return true;
}

namespace {

// Every key looked up again, for a build with values: each must give the value it was built with.
bool VerifyValues(const HashDict* hdict, Id nentries, void* dict, DictKeyFun key, DictValFun val,
                  BuildFailure* fail) {
    for (Id idx = 0; idx < nentries; ++idx) {
        const UByte* bytes;
        UShort len;
        if (!KeyAt(key, dict, idx, &bytes, &len, fail)) return false;
        // Spelled out rather than one ZK_ASSERT: the lookup must come before the value callback,
        // and C++ leaves the order of the two sides of == open.
        const Id found = HashDictFind(hdict, bytes, len);
        if (found != (*val)(dict, idx)) {
            if (fail != nullptr) return Failed(fail, HASHDICT_ERROR_INVALID);
            ZKAssertFail_("HashDictFind(hdict, bytes, len) == (*val)(dict, idx)", __FILE__, __LINE__,
                          ZK_ASSERT_FUNCTION);
        }
    }
    return true;
}

// HashDictBuild's steps after the argument checks, for both entries. With a BuildFailure, a failure
// releases everything and gives NULL; without one, it ends the process as HashDictBuild always has.
HashDict* Build(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits, UByte probe, Boolean verbose,
                BuildFailure* fail) {
    BuildRandom random;
    auto* hdict = static_cast<HashDict*>(Allocate_(sizeof(HashDict), nullptr, kPath, __LINE__));
    std::memset(hdict, 0, sizeof *hdict);
    const ULong maxvalue = val != nullptr ? (ULong{1} << nbits) - 1 : ULong{nentries};
    bool ok = HashDictInit(hdict, nentries, maxvalue, dict, key, probe, verbose, fail);
    if (ok) {
        Graph* graph = GraphNew(hdict);
        ok = GraphBuild(graph, hdict, dict, key, verbose, &random, fail);
        if (ok) GraphAssign(graph, hdict, dict, val);
        GraphDelete(graph);
    }
    ok = ok && (probe == 0 || HashDictProbe(hdict, dict, key, fail));
    ok = ok && (val == nullptr || VerifyValues(hdict, nentries, dict, key, val, fail));
    if (!ok) {
        HashDictFree(hdict);
        return nullptr;
    }
    return hdict;
}

}  // namespace
}  // namespace zk

extern "C" {

ZK_EXPORT HashDict* HashDictBuild(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits, UByte probe,
                                  Boolean verbose) {
    ZK_ASSERT(nbits <= 32 && (val == NULL || (probe == 0 && nbits != 0)));
    ZK_ASSERT(nentries <= HASHDICT_MAX_ENTRIES);
    ZK_ASSERT(key != NULL);
    return zk::Build(nentries, dict, key, val, nbits, probe, verbose, nullptr);
}

ZK_EXPORT HashDict* HashDictTryBuild(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits,
                                     UByte probe, Boolean verbose, HashDictBuildError* error) {
    zk::BuildFailure fail;
    HashDict* hdict = nullptr;
    if (nbits > 32 || (val != nullptr && (probe != 0 || nbits == 0)) || probe > 8 || nentries > HASHDICT_MAX_ENTRIES ||
        key == nullptr) {
        fail.code = HASHDICT_ERROR_INVALID;
    } else {
        hdict = zk::Build(nentries, dict, key, val, nbits, probe, verbose, &fail);
    }
    if (error != nullptr) *error = HashDictBuildError{fail.code, fail.first, fail.second};
    switch (fail.code) {
    case HASHDICT_ERROR_NONE: break;
    case HASHDICT_ERROR_DUPLICATE: errno = EEXIST; break;
    case HASHDICT_ERROR_CANNOT_GENERATE: errno = EAGAIN; break;
    case HASHDICT_ERROR_INVALID: errno = EINVAL; break;
    }
    return hdict;
}

}  // extern "C"
