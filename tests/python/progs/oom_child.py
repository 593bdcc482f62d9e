# Runs every call that grows an instance with the address space limited just above what the process
# uses, a little higher each attempt, so the call runs out of memory at each of its large allocations
# in turn; after every MemoryError the instance must be as before. Prints what failed, as JSON.
import array, hashlib, json, resource, sys  # noqa: E401

sys.path.insert(0, sys.path[0] + "/..")
from entry_points import ALL, good_args, invoke, make, snapshot  # noqa: E402

D, MB = 1 << 16, 1 << 20   # 256 kB per vector: each buffer of D floats is a mapping of its own


def digest(x):   # vectors by a hash of their exact text: a snapshot of D-float vectors stays small
    if isinstance(x, list) and len(x) > 64 and isinstance(x[0], float):
        return hashlib.sha1(array.array("f", x).tobytes()).hexdigest()
    return [digest(v) for v in x] if isinstance(x, (list, tuple)) else x


out, (soft, hard) = [], resource.getrlimit(resource.RLIMIT_AS)
for e in (e for e in ALL if e.mutates and e.owner not in ("PyOptimizer", "PyQuantumAttentionHead")):
    args, failures, o, want = good_args(e, D, seed=3), 0, make(e.owner, D), snapshot(e.owner, make(e.owner, D), D, digest)
    for headroom in range(0, 24 * MB, MB // 8):
        vm = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + headroom, hard))
        try:
            invoke(e, o, args)
            break
        except MemoryError:
            failures += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        if snapshot(e.owner, o, D, digest) != want:
            out.append(f"{e.full}: changed by a MemoryError with {headroom // 1024} kB to spare")
        o = make(e.owner, D)
    out.append([e.full, failures])
print(json.dumps(out))
