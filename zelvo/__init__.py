"""zelvo: technical-analysis series functions for bar data."""
