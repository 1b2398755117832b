// Shared test helpers live here (pseudo-terminals, temporary directories, running the program).
