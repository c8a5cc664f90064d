"""`quelm.cost` per call, against a peer library in the same process:
genai-prices' `extract_usage` plus `calc_price` on the same response.

    python bench/bench_cost.py

genai-prices is a tool of this benchmark only, never a dependency of quelm:
install it into the benchmark's environment first
(``pip install genai-prices``); without it the rows say so and time quelm
alone.  The responses are an OpenAI chat completion with cached and
reasoning tokens, built with the openai client's own type (when the openai
package is installed) and as its dump; the peer is given the dump, which
is what it reads, after dumping the object for the object row.  Both must
agree on the price before anything is timed.
"""

import timeit

import quelm

TARGET = 50.0
RESPONSE = {
    "id": "chatcmpl-1", "object": "chat.completion", "created": 1765180800,
    "model": "gpt-4o-2024-08-06", "service_tier": "default",
    "choices": [{"index": 0, "finish_reason": "stop",
                 "message": {"role": "assistant", "content": "Revenue rose four percent."}}],
    "usage": {"prompt_tokens": 1200, "completion_tokens": 345, "total_tokens": 1545,
              "prompt_tokens_details": {"cached_tokens": 1024, "audio_tokens": 0},
              "completion_tokens_details": {"reasoning_tokens": 100, "audio_tokens": 0}},
}


def _peer():
    """genai-prices' price of a response dict, or None when it is not installed."""
    try:
        import genai_prices
    except ImportError:
        return None

    def price(data):
        extracted = genai_prices.extract_usage(data, provider_id="openai", api_flavor="chat")
        return genai_prices.calc_price(extracted.usage, model_ref=data["model"],
                                       provider_id="openai").total_price

    return price


def _objects():
    """(label, quelm's input, the peer's input function)."""
    rows = [("dict", RESPONSE, lambda: RESPONSE)]
    try:
        from openai.types.chat import ChatCompletion
    except ImportError:
        return rows
    obj = ChatCompletion.model_validate(RESPONSE)
    # The peer reads dicts: for the client's object it pays the dump too.
    return [("client object", obj, lambda: obj.model_dump(mode="json"))] + rows


def _best(stmt, number, rounds=9):
    timer = timeit.Timer(stmt)
    return min(timer.timeit(number) for _ in range(rounds)) / number * 1e9


def run():
    peer = _peer()
    rows = []
    for label, response, peer_input in _objects():
        ours = quelm.cost(response)
        native = _best(lambda: quelm.cost(response), 20_000)
        python = ratio = None
        if peer is not None:
            assert abs(float(peer(peer_input())) - ours.total) < 1e-12, (label, ours)
            python = _best(lambda: peer(peer_input()), 500)
            ratio = python / native
        rows.append({"workload": f"quelm.cost vs genai-prices: {label}"
                     + ("" if peer else " (genai-prices not installed)"),
                     "native": native, "python": python, "unit": "ns/op", "ratio": ratio,
                     "target": TARGET if peer else None})
    return rows


def main():
    for r in run():
        peer = "-" if r["python"] is None else f"{r['python']:,.0f} ns"
        ratio = "-" if r["ratio"] is None else f"{r['ratio']:.0f}x (target >= {TARGET:g}x)"
        print(f"{r['workload']}: quelm {r['native']:,.0f} ns, peer {peer}, {ratio}")


if __name__ == "__main__":
    main()
