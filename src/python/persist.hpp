// Saving and copying. A class whose table lists a Persist member gets
// __reduce__ and __setstate__ after its own members, which serve pickle (every
// protocol), copy.copy and copy.deepcopy: the state is the class's saved values
// (hdc/state.hpp), loaded into a fresh core object that replaces the instance's
// only once it is whole.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "hdc/state.hpp"

namespace mhdc::py {

template <class S>
struct Persist {
  std::uint32_t version;                       // the newest layout this build writes and reads
  PyObject* (*blank)();                        // arguments of a cheap instance to load into, a new tuple
  void (*save)(const S&, hdc::StateWriter&);
  S (*load)(hdc::StateReader&);
};

// Our classes' __module__ is "builtins", where pickle cannot find them by name.
// The reduce value names them through a small reference instead, which pickles
// as getattr(__import__("morvelan_hdc"), name): no module attribute is added.
// Called directly (as copy does), it calls the class.
PyObject* class_ref(PyTypeObject* type);

// A StateWriter::Grow over a Ref (empty at first): the state is written into
// the bytes object itself. `state_bytes_done` trims it to the bytes written.
char* grow_state_bytes(void* ref, std::size_t bytes);
PyObject* state_bytes_done(void* ref, std::size_t size);

// Bytes of a state, or TypeError naming the argument.
std::string_view state_bytes(PyObject* state);

}  // namespace mhdc::py
