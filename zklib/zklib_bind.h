// zklib_bind.h: how libzkdict calls libzklib without a client being able to capture the calls.
// Internal; the build puts it in front of every source of libzkdict (and not installed).
//
// A call from one shared library to a function of another is resolved by the dynamic linker in the
// global scope, which the program comes first in: a client program that defines a function of the
// same name (a Prime, a QSort or a MutexInit of its own, quite likely names in a large program) would
// receive libzkdict's calls, and with them wrong primes, unsorted tables or uninitialised locks.
// Symbol versions do not help: the linker lets an unversioned definition in the program satisfy a
// versioned reference. So libzklib exports every function a second time under a name of its own
// reserved prefix ("__zklib_" + name, the same address: see the link of libzklib), and here each
// function is declared once more with that name as its assembler name, so that every call and every
// address libzkdict takes goes to the reserved name. The C names stay exported for clients.
//
// Calls inside each library are bound to the library itself at link time (-Bsymbolic-functions),
// so libzkdict's calls to its own exported functions (HashBytes, TreeCheck, the tree the cache
// uses) and libzklib's to its own cannot be captured either.
//
// Every function libzklib exports is listed: a call added later is covered as soon as it compiles,
// and a test checks that libzkdict needs no plain name from libzklib. The build reads the list from
// this file to make the aliases, so a name is added here and nowhere else.
#ifndef ZKLIB_ZKLIB_BIND_H
#define ZKLIB_ZKLIB_BIND_H

#include "zklib/zklib.h"

#define ZKLIB_BIND(name) extern "C" decltype(name) name __asm__("__zklib_" #name);

ZKLIB_BIND(Allocate_)
ZKLIB_BIND(AnonArrayFree_)
ZKLIB_BIND(AnonArrayGrow_)
ZKLIB_BIND(ArrayFree_)
ZKLIB_BIND(ArrayGrowExact_)
ZKLIB_BIND(ArrayGrow_)
ZKLIB_BIND(ArrayInit_)
ZKLIB_BIND(ArrayNextSize)
ZKLIB_BIND(ChannelClose)
ZKLIB_BIND(ChannelFlush)
ZKLIB_BIND(ChannelNew)
ZKLIB_BIND(ChannelOpenFd)
ZKLIB_BIND(ChannelOpenFile)
ZKLIB_BIND(ChannelReadBuf)
ZKLIB_BIND(ChannelReadByte_)
ZKLIB_BIND(ChannelSync)
ZKLIB_BIND(ChannelWriteBuf)
ZKLIB_BIND(ConditionDestroy)
ZKLIB_BIND(ConditionInit)
ZKLIB_BIND(ConditionSignal)
ZKLIB_BIND(ConditionTimedWait)
ZKLIB_BIND(ConditionWait)
ZKLIB_BIND(FileMapRead)
ZKLIB_BIND(FileUnmap)
ZKLIB_BIND(Fingerprint)
ZKLIB_BIND(GetCurrentTimeMilliseconds)
ZKLIB_BIND(MemoryMap_)
ZKLIB_BIND(MemoryRemap_)
ZKLIB_BIND(MemoryUnmap_)
ZKLIB_BIND(MutexDestroy)
ZKLIB_BIND(MutexInit)
ZKLIB_BIND(Prime)
ZKLIB_BIND(QSort)
ZKLIB_BIND(ThreadCreate_)
ZKLIB_BIND(ThreadJoin)
ZKLIB_BIND(UnAllocate_)
ZKLIB_BIND(ZKAssertFail_)
ZKLIB_BIND(ZKErrorRestore)
ZKLIB_BIND(ZKErrorRethrow_)
ZKLIB_BIND(ZKErrorSave)
ZKLIB_BIND(ZKMessage_)
ZKLIB_BIND(ZKSetMessageContext2_)
ZKLIB_BIND(ZKSetMessageHandler)
ZKLIB_BIND(zkassert_)

#undef ZKLIB_BIND

#endif  // ZKLIB_ZKLIB_BIND_H
