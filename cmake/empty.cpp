// Placeholder so that a library target exists before its folder has sources.
