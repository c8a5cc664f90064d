"""Plain-Python rendition of token counting and usage extraction.

Written as an ordinary pure-Python module would be: no argument checks.  The
benchmark times it against the native functions, and the tests use it as an
oracle on responses whose counts are None or plain ints.
"""


def _approx_token_count(text):
    if not text:
        return 0
    return (len(text) + 3) // 4


def _count_openai_tokens(text, model_name):
    try:
        import tiktoken

        try:
            enc = tiktoken.encoding_for_model(model_name)
        except Exception:
            try:
                enc = tiktoken.get_encoding("o200k_base")
            except Exception:
                enc = tiktoken.get_encoding("cl100k_base")
        return len(enc.encode(text))
    except Exception:
        return _approx_token_count(text)


def _usage_dict(prompt_tokens, completion_tokens):
    return {
        "prompt_tokens": int(prompt_tokens or 0),
        "completion_tokens": int(completion_tokens or 0),
    }


def _get(obj, key):
    # The probe rule; hoisted out of the extractors, which only makes this
    # rendition faster than one redefining it at every call.
    if obj is None:
        return None
    if isinstance(obj, dict):
        return obj.get(key)
    return getattr(obj, key, None)


def _extract_openai_usage(resp, input_text, output_text, model_name):
    prompt_tokens = None
    completion_tokens = None
    try:
        usage = getattr(resp, "usage", None)
        if usage is None and isinstance(resp, dict):
            usage = resp.get("usage")
        prompt_tokens = _get(usage, "input_tokens") or _get(usage, "prompt_tokens")
        completion_tokens = _get(usage, "output_tokens") or _get(usage, "completion_tokens")
    except Exception:
        pass
    if prompt_tokens is None:
        prompt_tokens = _count_openai_tokens(input_text, model_name)
    if completion_tokens is None:
        completion_tokens = _count_openai_tokens(output_text, model_name)
    return _usage_dict(prompt_tokens, completion_tokens)


def _extract_gemini_usage(resp, input_text, output_text):
    prompt_tokens = None
    completion_tokens = None
    try:
        usage = getattr(resp, "usage_metadata", None)
        if usage is None and isinstance(resp, dict):
            usage = resp.get("usage_metadata")
        prompt_tokens = _get(usage, "prompt_token_count")
        completion_tokens = _get(usage, "candidates_token_count")
    except Exception:
        pass
    if prompt_tokens is None:
        prompt_tokens = _approx_token_count(input_text)
    if completion_tokens is None:
        completion_tokens = _approx_token_count(output_text)
    return _usage_dict(prompt_tokens, completion_tokens)
