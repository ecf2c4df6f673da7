// The classes of the package's module tarndb._store, as specs that each
// module object makes into classes of its own (module_state.cc). Reader,
// Writer and Shards may be subclassed (the package's TarnReader, TarnWriter
// and ShardedReader are); the iterators are made only by their readers.
#ifndef TARNDB_BINDINGS_STORE_TYPES_H_
#define TARNDB_BINDINGS_STORE_TYPES_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarndb::py::store {

extern PyType_Spec kReaderSpec;
extern PyType_Spec kReaderIteratorSpec;
extern PyType_Spec kMergeIteratorSpec;
extern PyType_Spec kWriterSpec;
extern PyType_Spec kShardsSpec;
extern PyType_Spec kLayersSpec;
extern PyType_Spec kLayerIteratorSpec;
extern PyType_Spec kRangeReaderSpec;

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_TYPES_H_
