"""The longest gap between two ticks, in milliseconds, from a tick log: one
monotonic time in microseconds per line, as the Linux program writes it
when VARO_TICK_LOG names a file."""
import sys

with open(sys.argv[1]) as log:
    times = [int(line) for line in log if line.strip()]
if len(times) < 2:
    raise SystemExit(f"tick_gap: fewer than two ticks in {sys.argv[1]}")
print(f"{max(b - a for a, b in zip(times, times[1:])) / 1000:.1f}")
