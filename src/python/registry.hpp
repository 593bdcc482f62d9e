// What the module registers, each supplied by one binding file. Free functions
// and classes are listed in module.cpp in registration order.
#pragma once
#include <Python.h>

namespace mhdc::py {

// Free functions (functions_*.cpp).
#define MHDC_FUNCTIONS(X)                                                                        \
  X(rand_bipolar) X(resonance) X(hdc_bind) X(hdc_bundle) X(hdc_unbind) X(hebbian) X(hdc_permute) \
  X(normalise_bipolar) X(hv_hash) X(hv_hash_string) X(diagnostic_role) X(encode_system_state)    \
  X(bundle_diagnostics) X(extract_system_state)

// Classes (bind_*.cpp).
#define MHDC_CLASSES(X)                                                                            \
  X(PyCausalMemory) X(PyMultiHopReasoner) X(PyMetacognition) X(PySelfAudit) X(PyOptimizer)         \
  X(PyQuantumAttentionHead) X(PyHoloCPUScheduler) X(PyHoloGenEngine) X(PyHoloSwarm) X(PyHKVC)

// A component whose binding is not built yet simply leaves its name out of the
// module; the weak declarations let the module link without it.
#define MHDC_DECLARE_FUNCTION(name) [[gnu::weak]] PyMethodDef* def_##name();
#define MHDC_DECLARE_CLASS(name) [[gnu::weak]] PyTypeObject* type_##name();
MHDC_FUNCTIONS(MHDC_DECLARE_FUNCTION)
MHDC_CLASSES(MHDC_DECLARE_CLASS)
#undef MHDC_DECLARE_FUNCTION
#undef MHDC_DECLARE_CLASS

}  // namespace mhdc::py
