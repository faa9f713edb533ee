"""Files in and out: reading photographs, colour management, metadata, and writing prints."""
