"""Concurrent use from several threads against local price lists."""

import logging
import random
import threading
import time
from types import SimpleNamespace

from quelm import genai_pricing as gp

THREADS = 8
SECONDS = 2.0


def make_sources(tmp_path, n):
    paths = []
    for i in range(n):
        p = tmp_path / f"prices{i}.md"
        p.write_text(
            "| Model | Prompt per 1K | Completion per 1K |\n|---|---|---|\n"
            f"| model-{i} | {i}.5 | $0.0{i} |\n"
            f"shared-{i}: prompt $1.{i} / 1M, completion ${i}\n",
            encoding="utf8",
        )
        paths.append(str(p))
    return paths


def test_concurrent_calls_agree_with_single_threaded_results(tmp_path, monkeypatch):
    paths = make_sources(tmp_path, 12)  # more sources than the cache holds
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "disabled", True)
    gp.clear_pricing_cache()
    tables = {p: gp._parse_pricing.__wrapped__(p) for p in paths}
    usage = {"prompt_tokens": 1234, "completion_tokens": 567}
    expected_costs = {}
    for p in paths:
        monkeypatch.setattr(gp, "PRICING_URL", p)
        gp.clear_pricing_cache()
        expected_costs[p] = gp.estimate_costs(SimpleNamespace(model="Shared"), usage)
    openai_resp = {"usage": {"input_tokens": 0, "prompt_tokens": 9, "output_tokens": 4}}
    gemini_resp = SimpleNamespace(usage_metadata=SimpleNamespace(prompt_token_count=0))
    expected_openai = gp._extract_openai_usage(openai_resp, "abc", "defgh", "m")
    expected_gemini = gp._extract_gemini_usage(gemini_resp, "abc", "defgh")

    errors, max_cache = [], [0]
    stop = time.monotonic() + SECONDS

    def worker(seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < stop:
                p = rng.choice(paths)
                op = rng.randrange(5)
                if op == 0:
                    assert gp._parse_pricing(p) == tables[p]
                elif op == 1:
                    # estimate_costs reads PRICING_URL at each call, so the
                    # threads share the one source it names here.
                    assert gp.estimate_costs(SimpleNamespace(model="Shared"), usage) == expected_costs[paths[0]]
                elif op == 2:
                    assert gp._extract_openai_usage(openai_resp, "abc", "defgh", "m") == expected_openai
                    assert gp._extract_gemini_usage(gemini_resp, "abc", "defgh") == expected_gemini
                elif op == 3 and rng.random() < 0.05:
                    gp.clear_pricing_cache()
                else:
                    assert gp._parse_pricing.__wrapped__(p) == tables[p]
                max_cache[0] = max(max_cache[0], gp._parse_pricing.cache_info().currsize)
        except BaseException as exc:  # reported below, with the thread's seed
            errors.append((seed, exc))

    monkeypatch.setattr(gp, "PRICING_URL", paths[0])
    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert 0 < max_cache[0] <= 8
