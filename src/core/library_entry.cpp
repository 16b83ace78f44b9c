// The shared library is assembled from the static libraries; this unit only gives it a source.
