// Anchor of the shared test helpers library; the helpers live in their own files beside it.
