"""velkor: automated futures trading. This distribution carries its CTP trading layer."""
