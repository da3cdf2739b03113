// Placeholder until the application layer lands.
