"""A short tour of fpscope._core."""
from fpscope import _core as fs

print("next_up(1.0)              ", fs.next_up(1.0))
print("next_down(1.0, 'f32')     ", fs.next_down(1.0, "f32"))
print("ordered(-1.0, 'f32')      ", fs.ordered(-1.0, "f32"))
print("spacing(1.0)              ", fs.spacing(1.0))
for name, call in [
    ("ulp_distance(1.0, 2.0, 'f32')", lambda: fs.ulp_distance(1.0, 2.0, "f32")),
    ("midpoint('sqrt', 2.0, 'f64')", lambda: fs.midpoint("sqrt", 2.0, "f64")),
    ("sqrt_cr(2.0, 'f32')", lambda: fs.sqrt_cr(2.0, "f32")),
    ("knife_edges_raw('sqrt', 1.0, 4.0, 1e-3)", lambda: fs.knife_edges_raw("sqrt", 1.0, 4.0, 1e-3, limit=3)),
]:
    try:
        print(f"{name:26}", call())
    except NotImplementedError as e:
        print(f"{name:26} ({e})")
