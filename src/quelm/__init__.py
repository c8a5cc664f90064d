"""quelm: what did that model call cost?

The native module is :mod:`quelm.genai_pricing`; importing this package does
not load it.  ``BUNDLED_PRICING`` is the path of the price list shipped with
the package, ready for ``genai_pricing.PRICING_URL = quelm.BUNDLED_PRICING``.
"""

import os as _os

BUNDLED_PRICING: str = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "pricing_table.md")
