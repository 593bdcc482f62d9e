// Free functions of the element-wise algebra. Their vector arguments are HvArgs:
// float32 buffers are read in place (the core calls run no Python code and keep
// no reference to their inputs).
#include "hdc/algebra.hpp"
#include "python/frame.hpp"
#include "python/registry.hpp"

namespace mhdc::py {
namespace {

// Every function here only multiplies, adds, divides, compares or copies the
// elements (see HvArg::Use).
constexpr HvArg::Use kUse = HvArg::Use::arithmetic;

// op(a, b) over two vector arguments, converted in parameter order.
template <auto op>
PyObject* binary(Args& a) {
  HvArg x, y;
  a.view(0, x, kUse);
  a.view(1, y, kUse);
  return box(op(x.view(), y.view()));
}

constexpr Function kResonance{"resonance", "", {"a", "b"}, binary<hdc::resonance>};

constexpr Function kBind{
    "hdc_bind",
    "Bind: element-wise multiplication (Patent \u00a7Definition 2 \u2014 multiplicative binding).\n"
    "For bipolar: same\u2192+1, different\u2192-1. Self-inverse: bind(bind(A,B), A) \u2248 B.\n"
    "Generalizes correctly to non-bipolar superpositions (World Vector, bundles).",
    {"a", "b"}, binary<hdc::bind>};

constexpr Function kBundle{
    "hdc_bundle",
    "Bundle: majority-vote superposition (Patent MORVELAN-2026-001 \u00a7Definition 3).\n"
    "\u2295({v_i}) = sign(\u03a3 v_i). For two inputs: if equal\u2192that value, if unequal\u2192sign of sum.\n"
    "This preserves signal for arbitrary N items when iterated.",
    {"a", "b"}, binary<hdc::bundle>};

constexpr Function kUnbind{
    "hdc_unbind",
    "Unbind: inverse of bind. Given compound=bind(A,B) and key=A,\n"
    "returns an approximation of B via bind(key, compound).\n\n"
    "# Arguments\n"
    "* `compound` \u2014 the bound hypervector (A \u2297 B)\n"
    "* `key` \u2014 the known operand (A) used to unbind\n\n"
    "Note: bind/unbind are self-inverse, so unbind(A\u2297B, A) \u2248 B\n"
    "only when A and B are sufficiently orthogonal in the HDC space.",
    {"compound", "key"}, binary<hdc::unbind>};

constexpr Function kHebbian{
    "hebbian",
    "Hebbian weight update: W' = W + \u03b7 \u00b7 (pre \u2297 post)\n\n"
    "Implements O(D) sparse Hebbian outer-product update.\n"
    "Only diagonal and a subset of off-diagonal elements are updated\n"
    "per step, making it tractable for high-dimensional spaces.\n\n"
    "# Arguments\n"
    "* `weights` \u2014 mutable weight matrix flattened as dim\u00d7dim\n"
    "* `pre` \u2014 pre-synaptic hypervector\n"
    "* `post` \u2014 post-synaptic hypervector\n"
    "* `lr` \u2014 learning rate (\u03b7)\n"
    "* `dim` \u2014 hypervector dimension",
    {"weights", "pre", "post", "lr", "dim"}, [](Args& a) {
      HvArg w, pre, post;
      a.view(0, w, kUse);
      a.view(1, pre, kUse);
      a.view(2, post, kUse);
      const float lr = a.f32(3);
      const std::uint64_t dim = a.u64(4);
      return box(hdc::hebbian(w.view(), pre.view(), post.view(), lr, dim));
    }};

constexpr Function kPermute{
    "hdc_permute",
    "Permute a hypervector by right-cyclic rotation.\n\n"
    "# Arguments\n"
    "* `v` \u2014 the hypervector to permute\n"
    "* `n` \u2014 number of positions to rotate right (modulo dim); negative values rotate left equivalent\n\n"
    "Right-cyclic rotation by n means element at index i moves to (i + n) % dim.\n"
    "Example: [a,b,c,d] rotated right by 1 \u2192 [d,a,b,c]",
    {"v", "n"}, [](Args& a) {
      HvArg v;
      a.view(0, v, kUse);
      const std::int32_t n = a.i32(1);
      return box(hdc::permute(v.view(), n));
    }};

constexpr Function kNormalise{"normalise_bipolar", "", {"v"}, [](Args& a) {
                                HvArg v;
                                a.view(0, v, kUse);
                                return box(hdc::normalise_bipolar(v.view()));
                              }};

}  // namespace

PyMethodDef* def_resonance() { return function_def<kResonance>(); }
PyMethodDef* def_hdc_bind() { return function_def<kBind>(); }
PyMethodDef* def_hdc_bundle() { return function_def<kBundle>(); }
PyMethodDef* def_hdc_unbind() { return function_def<kUnbind>(); }
PyMethodDef* def_hebbian() { return function_def<kHebbian>(); }
PyMethodDef* def_hdc_permute() { return function_def<kPermute>(); }
PyMethodDef* def_normalise_bipolar() { return function_def<kNormalise>(); }

}  // namespace mhdc::py
