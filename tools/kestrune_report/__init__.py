"""Reads saved Kestrune reports and turns them into charts, CSV and JSON."""
