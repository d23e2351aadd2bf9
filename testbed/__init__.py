"""Simulated routers and the reference service, shared by the tests and the demo."""
