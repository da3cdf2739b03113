// Placeholder until the error tables land.
