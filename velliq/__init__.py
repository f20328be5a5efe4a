"""velliq: American option prices and implied volatilities (Barone-Adesi-Whaley).

The compiled functions live in :mod:`velliq.norvane`.
"""
