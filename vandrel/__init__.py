"""The vandrel reference agent and its launcher."""
