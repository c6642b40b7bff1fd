// Placeholder until the pool is built.
