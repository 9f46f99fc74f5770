void tagagentStub() {}
