// The memory cache's checker, for tests and fuzz targets: walks a cache that no other thread is using
// and reports the first fault it finds.
#include <set>
#include <string>

#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

constexpr Boolean kInKeyOrder = FALSE;  // as ZKAVLLDictEnumerate's reverse: increasing keys

struct IndexCheck {
    const Cache* cache;
    const std::set<const CacheBlock*>* valid;
    std::string fault;
};

Boolean CheckIndexEntry(AVLLDict* /*dict*/, AVLLDictKey key, AVLLDictValue value, void* arg) {
    auto* check = static_cast<IndexCheck*>(arg);
    const auto* block = reinterpret_cast<const CacheBlock*>(value);
    if (check->valid->count(block) == 0) {
        check->fault = "index entry " + std::to_string(key) + " names no valid block";
        return FALSE;
    }
    if (block->b_key != key) {
        check->fault = "index entry " + std::to_string(key) + " names a block of another fingerprint";
        return FALSE;
    }
    return TRUE;
}

std::string CheckList(Cache* cache, const PageList& list, std::set<Page*>* seen) {
    const std::string name = list.Name();
    const UInt count = list.Count();
    UInt n = 0;
    Page* prev = nullptr;
    for (Page* p = list.Head(); p != nullptr; prev = p, p = p->p_next) {
        if (p->p_prev != prev) return name + " list: broken back link";
        if (!seen->insert(p).second) return name + " list: a page is listed twice";
        if (PageOfBlock(cache, p) != p) return name + " list: not a page address";
        if (++n > count) return name + " list: longer than its count";
    }
    if (prev != list.Tail()) return name + " list: tail is not the last page";
    if (n != count) return name + " list: count " + std::to_string(count) + ", length " + std::to_string(n);
    return "";
}

}  // namespace

std::string CheckCache(Cache* cache) {
    std::set<Page*> seen;
    for (const PageList& list : {FreePages(cache), FullPages(cache)}) {
        std::string fault = CheckList(cache, list, &seen);
        if (!fault.empty()) return fault;
    }
    const ULong pages = ULong(cache->c_regions.length) * cache->c_region_size;
    if (seen.size() != pages) return "pages on the lists: " + std::to_string(seen.size()) + " of " + std::to_string(pages);

    std::set<const CacheBlock*> valid;
    ULong objects = 0, bytes = 0;
    for (Page* page : seen) {
        if (page->p_copy_ptr != FirstBlock(page)) return "p_copy_ptr is not the first byte after the header";
        if (page->p_end != reinterpret_cast<char*>(page) + cache->c_page_size) return "p_end is not the page end";
        char* expect = FirstBlock(page);
        CacheBlock* last = nullptr;
        for (CacheBlock* b = page->p_last != nullptr ? reinterpret_cast<CacheBlock*>(page->p_copy_ptr) : nullptr;
             b != nullptr; b = b->b_next) {
            if (reinterpret_cast<char*>(b) != expect) return "block chain skips or overlaps bytes";
            expect = AlignUp8(expect + sizeof(CacheBlock) + b->b_size);
            if (expect > page->p_end) return "block runs past the page end";
            last = b;
            if (!BLOCK_VALID(b)) continue;
            if (b->b_page != page) return "b_page does not name the block's page";
            ++objects;
            bytes += b->b_size;
            valid.insert(b);
        }
        if (last != page->p_last) return "p_last is not the end of the chain";
        if (expect != page->p_alloc_ptr) return "p_alloc_ptr is not behind the last block";
    }
    for (Page* p = FullPages(cache).Head(); p != nullptr; p = p->p_next) {
        if (p->p_last == nullptr) return "an empty page on the full list";
    }
    if (objects != cache->c_nb_objects) {
        return "c_nb_objects " + std::to_string(cache->c_nb_objects) + ", valid blocks " + std::to_string(objects);
    }
    if (bytes != cache->c_total_size) return "c_total_size differs from the valid blocks' sizes";
    IndexCheck check{cache, &valid, ""};
    ZKAVLLDictEnumerate(cache->c_dict, kInKeyOrder, CheckIndexEntry, &check);
    return check.fault;
}

}  // namespace zk
