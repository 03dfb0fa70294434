"""A selvane model as a Hugging Face tokenizer: `SelvaneTokenizer`.

This module imports `transformers` (the ``selvane[hf]`` extra); nothing else
in the package does, so the command and the library start without it.

>>> from selvane_tools.hf import SelvaneTokenizer  # doctest: +SKIP
>>> tokenizer = SelvaneTokenizer(model_file="arabic.model", eos_token="<|endoftext|>",
...                              pad_token="<|pad|>")  # doctest: +SKIP
>>> batch = tokenizer(["بسم الله", "الرحمن"], padding=True, return_tensors="np")  # doctest: +SKIP
>>> ids = tokenizer("بسم الله")["input_ids"]  # doctest: +SKIP
>>> ids == tokenizer.selvane_model.encode("بسم الله", rule="rank")  # doctest: +SKIP
True
>>> tokenizer.save_pretrained("tokenizer/")  # selvane.model + tokenizer_config.json  # doctest: +SKIP
>>> SelvaneTokenizer.from_pretrained("tokenizer/")  # doctest: +SKIP
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

try:
    from transformers import AddedToken, BatchEncoding, PreTrainedTokenizer
except ImportError as error:
    raise ImportError(
        f"selvane_tools.hf needs transformers ({error}): pip install 'selvane[hf]'", name=error.name
    ) from error
from transformers.tokenization_utils_base import TruncationStrategy
from transformers.utils.generic import PaddingStrategy

from ._files import write_atomically
from .display import escape_bytes
from .errors import SelvaneError
from .model import Model
from .rules import check_rule

if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping, Sequence

__all__ = ["MODEL_FILE_NAME", "SelvaneTokenizer", "token_strings"]

#: The name of the model file in a directory written by `save_pretrained`.
MODEL_FILE_NAME = "selvane.model"

# HF's own names for the special tokens a tokenizer may carry; each one given
# must name a special token of the model, which fixes its id.
_NAMED_SPECIALS = ("bos_token", "eos_token", "unk_token", "sep_token", "pad_token", "cls_token", "mask_token")


def byte_fallback_base(lookup: Mapping[int, bytes]) -> int | None:
    """The first of the 256 consecutive ids whose bytes are the single bytes
    0x00 to 0xFF in order (the lowest such run), or None when there is none."""
    for base, raw in sorted(lookup.items()):
        if raw == b"\x00" and all(lookup.get(base + value) == bytes((value,)) for value in range(256)):
            return base
    return None


def token_strings(lookup: Mapping[int, bytes], specials: Mapping[str, int], oov_id: int | None) -> dict[int, str]:
    """A distinct display string for every id of `lookup` (id -> bytes).

    A special token is its text; a byte-fallback token is ``<0xHH>``; the id
    of unknown clusters, whose bytes are empty, is ``<oov>``. Any other id is
    its text when that text is valid UTF-8, shows every character as itself
    and belongs to no other id; otherwise its text escaped as `selvane vocab`
    shows it, followed by ``<id N>`` when other ids share that text. The
    strings depend only on the model, so a saved tokenizer and a reloaded one
    agree; in the rare case where one of them equals another id's string it
    is wrapped in angle brackets until it is free.
    """
    special_ids = {token: text for text, token in specials.items()}
    base = byte_fallback_base(lookup)
    byte_ids = range(base, base + 256) if base is not None else range(0)
    ordinary = [token for token in sorted(lookup) if token not in special_ids and token not in byte_ids]
    holders: dict[bytes, int] = {}
    for token in ordinary:
        holders[lookup[token]] = holders.get(lookup[token], 0) + 1
    special_texts = {text.encode() for text in specials}

    strings: dict[int, str] = dict(special_ids)
    pending: list[tuple[int, str]] = []
    for token in ordinary:
        raw = lookup[token]
        shown = escape_bytes(raw)
        text = raw.decode("utf-8", "surrogateescape")
        unique = holders[raw] == 1 and raw not in special_texts
        # A backslash shows as itself; only its escaped form doubles it.
        if raw and unique and shown == text.replace("\\", "\\\\"):
            strings[token] = text
        elif not raw:
            pending.append((token, "<oov>" if token == oov_id else f"<id {token}>"))
        else:
            pending.append((token, shown if unique else f"{shown}<id {token}>"))
    pending.extend((token, f"<0x{token - byte_ids.start:02X}>") for token in byte_ids)

    used = set(strings.values())
    for token, candidate in sorted(pending):
        while candidate in used:
            candidate = f"<{candidate}>"
        strings[token] = candidate
        used.add(candidate)
    return strings


class SelvaneTokenizer(PreTrainedTokenizer):
    """A selvane model (`model_file`) as a `transformers.PreTrainedTokenizer`.

    `input_ids` without added special tokens are exactly
    ``Model.encode(text, rule=rule)``, with the model's special tokens
    recognised in the text (``allowed_special="all"``) unless
    ``split_special_tokens=True``. `eos_token`, `pad_token`, `bos_token`,
    `unk_token` (and the other HF names) must each be a special token of the
    model; every special token of the model is a special token here, so
    ``decode(..., skip_special_tokens=True)`` drops them all. Batches are
    encoded on every core by the engine; padding, truncation, attention
    masks and ``return_tensors="np"`` are the base class's.

    `save_pretrained` writes the model file (``selvane.model``) and
    ``tokenizer_config.json``, which records the rule and the special
    tokens; `from_pretrained` reads them back. `selvane_model` is the
    loaded `Model`:

    >>> tokenizer = SelvaneTokenizer(model_file="arabic.model", rule="rank")  # doctest: +SKIP
    >>> ids = tokenizer("بسم الله")["input_ids"]  # doctest: +SKIP
    >>> tokenizer.decode(ids)  # doctest: +SKIP
    'بسم الله'
    """

    vocab_files_names = {"model_file": MODEL_FILE_NAME}
    model_input_names = ["input_ids", "attention_mask"]

    def __init__(
        self,
        model_file: str | os.PathLike[str],
        rule: str = "rank",
        eos_token: str | AddedToken | None = None,
        pad_token: str | AddedToken | None = None,
        bos_token: str | AddedToken | None = None,
        unk_token: str | AddedToken | None = None,
        **kwargs: Any,
    ) -> None:
        self.selvane_model = Model(model_file)
        self._rule = check_rule(rule)
        model = self.selvane_model
        specials = self._specials = model.special_tokens
        lookup = {token: model.token_bytes(token) for token in model.vocab()}
        self._strings = token_strings(lookup, specials, model.oov_id)
        self._ids = {text: token for token, text in self._strings.items()}
        self._vocab_size = max(lookup, default=-1) + 1

        named = {"eos_token": eos_token, "pad_token": pad_token, "bos_token": bos_token, "unk_token": unk_token}
        named.update({key: kwargs.pop(key) for key in _NAMED_SPECIALS if key in kwargs})
        for key, token in named.items():
            if token is not None and str(token) not in specials:
                known = ", ".join(repr(text) for text in specials) or "none"
                raise SelvaneError(
                    f"{key} {str(token)!r} is not a special token of the model (its special tokens: {known})"
                )

        # The model fixes the id of each of its special tokens; the base class
        # appends only tokens added later (add_tokens, or those of a saved
        # tokenizer that had them), past the model's last id.
        added: dict[int, AddedToken] = {
            token: AddedToken(text, special=True, normalized=False, lstrip=False, rstrip=False, single_word=False)
            for text, token in specials.items()
        }
        for token, entry in dict(kwargs.pop("added_tokens_decoder", None) or {}).items():
            if int(token) >= self._vocab_size:
                added[int(token)] = entry if isinstance(entry, AddedToken) else AddedToken(str(entry))
        self._added_tokens_decoder = added
        extra = list(specials)
        extra += [token for token in kwargs.pop("extra_special_tokens", None) or () if str(token) not in specials]
        kwargs.setdefault("clean_up_tokenization_spaces", False)
        # No special tokens around a text unless asked for ("eos", "bos",
        # "bos_eos", ...): the ids are the model's. transformers releases
        # differ in their default, and the base class does not save the
        # choice, so it is stated and recorded here.
        pattern = kwargs.pop("special_tokens_pattern", None) or "none"
        super().__init__(  # type: ignore[no-untyped-call]
            model_file=os.fspath(model_file),
            rule=self._rule,
            extra_special_tokens=extra,
            special_tokens_pattern=pattern,
            **{key: token for key, token in named.items() if token is not None},
            **kwargs,
        )
        self.init_kwargs["special_tokens_pattern"] = pattern

    # -- the vocabulary ----------------------------------------------------

    @property
    def rule(self) -> str:
        """The encoding rule, ``"rank"`` or ``"frequency"``."""
        return self._rule

    @property
    def vocab_size(self) -> int:
        """One more than the model's largest id (the model's ids run from 0
        without gaps when training made them)."""
        return self._vocab_size

    def get_vocab(self) -> dict[str, int]:
        """Token string -> id for every id of the model and every token
        added since."""
        vocab = dict(self._ids)
        vocab.update(self._added_tokens_encoder)
        return vocab

    def _convert_token_to_id(self, token: str) -> int:
        found = self._ids.get(token)
        if found is not None:
            return found
        if self.unk_token is not None:
            return int(self._added_tokens_encoder[str(self.unk_token)])
        if self.selvane_model.oov_id is not None:
            return self.selvane_model.oov_id
        raise SelvaneError(f"{token!r} is not a token of the model")

    def _convert_id_to_token(self, index: int) -> str:
        try:
            return self._strings[index]
        except KeyError:
            raise SelvaneError(f"id {index} is not in the model") from None

    # -- encoding ----------------------------------------------------------

    def _foreign_tokens(self) -> bool:
        """Whether tokens were added that the model does not hold, which only
        the base class's splitting knows about."""
        return any(token >= self._vocab_size for token in self._added_tokens_decoder)

    def _allowed_special(self, split_special_tokens: bool) -> str | tuple[str, ...]:
        return () if split_special_tokens or not self._specials else "all"

    def _model_ids(self, text: str, split_special_tokens: bool) -> list[int]:
        allowed = self._allowed_special(split_special_tokens)
        return self.selvane_model.encode(text, rule=self._rule, allowed_special=allowed)

    def _tokenize(self, text: str, **kwargs: Any) -> list[str]:
        """The token strings of a text that holds no added token."""
        return [self._strings[token] for token in self.selvane_model.encode(text, rule=self._rule)]

    def tokenize(
        self, text: str, pair: str | None = None, add_special_tokens: bool = False, **kwargs: Any
    ) -> list[str]:
        """The token strings of `text`: the model's ids for the whole text,
        its special tokens recognised unless ``split_special_tokens=True``.
        Like the base class's, it adds no special tokens and has no use for
        `pair`, which its signature keeps."""
        if self._foreign_tokens():
            return list(super().tokenize(text, **kwargs))
        split = bool(kwargs.pop("split_special_tokens", self.split_special_tokens))
        text, _ = self.prepare_for_tokenization(text, **kwargs)
        return [self._strings[token] for token in self._model_ids(text, split)]

    # The base classes of transformers declare this method with two different
    # parameter lists; this one keeps the order of the one it overrides.
    def _encode_plus(  # type: ignore[override]
        self,
        text: Any,
        text_pair: Any = None,
        add_special_tokens: bool = True,
        padding_strategy: PaddingStrategy = PaddingStrategy.DO_NOT_PAD,
        truncation_strategy: TruncationStrategy = TruncationStrategy.DO_NOT_TRUNCATE,
        max_length: int | None = None,
        stride: int = 0,
        is_split_into_words: bool = False,
        pad_to_multiple_of: int | None = None,
        padding_side: str | None = None,
        return_tensors: Any = None,
        return_token_type_ids: bool | None = None,
        return_attention_mask: bool | None = None,
        return_overflowing_tokens: bool = False,
        return_special_tokens_mask: bool = False,
        return_length: bool = False,
        verbose: bool = True,
        *,
        return_offsets_mapping: bool = False,
        split_special_tokens: bool | None = None,
        **kwargs: Any,
    ) -> BatchEncoding:
        """A batch of plain texts is encoded by the engine in one call, on
        every core; the rest (one text, pairs, words, ids) is the base
        class's. Both give the same ids, and each item is then truncated,
        given its special tokens and padded exactly as the base class does."""
        options = dict(
            add_special_tokens=add_special_tokens, padding_strategy=padding_strategy,
            truncation_strategy=truncation_strategy, max_length=max_length, stride=stride,
            is_split_into_words=is_split_into_words, pad_to_multiple_of=pad_to_multiple_of,
            padding_side=padding_side, return_tensors=return_tensors, return_token_type_ids=return_token_type_ids,
            return_attention_mask=return_attention_mask, return_overflowing_tokens=return_overflowing_tokens,
            return_special_tokens_mask=return_special_tokens_mask, return_offsets_mapping=return_offsets_mapping,
            return_length=return_length, verbose=verbose,
        )
        plain_batch = (
            isinstance(text, (list, tuple))
            and len(text) > 1
            and all(isinstance(item, str) for item in text)
            and text_pair is None
            and not is_split_into_words
            and not kwargs
            and not return_offsets_mapping
            and not self._foreign_tokens()
        )
        if not plain_batch:
            if split_special_tokens is not None:
                kwargs["split_special_tokens"] = split_special_tokens
            return super()._encode_plus(text, text_pair, **options, **kwargs)

        split = self.split_special_tokens if split_special_tokens is None else split_special_tokens
        outputs: dict[str, list[Any]] = {}
        for ids in self._batch_ids(text, split):
            one = self.prepare_for_model(
                ids, add_special_tokens=add_special_tokens, padding=PaddingStrategy.DO_NOT_PAD.value,
                truncation=truncation_strategy.value, max_length=max_length, stride=stride,
                return_token_type_ids=return_token_type_ids, return_attention_mask=False,
                return_overflowing_tokens=return_overflowing_tokens,
                return_special_tokens_mask=return_special_tokens_mask, return_length=return_length,
                verbose=verbose,
            )
            for key, value in one.items():
                outputs.setdefault(key, []).append(value)
        if return_tensors and return_overflowing_tokens:
            outputs.pop("overflowing_tokens", None)
            outputs.pop("num_truncated_tokens", None)
        padded = self.pad(
            outputs, padding=padding_strategy.value, max_length=max_length, pad_to_multiple_of=pad_to_multiple_of,
            padding_side=padding_side, return_attention_mask=return_attention_mask,
        )
        return BatchEncoding(dict(padded), tensor_type=return_tensors)

    def _batch_ids(self, texts: Sequence[str], split_special_tokens: bool) -> list[list[int]]:
        """The ids of each text, as `tokenize` gives them, in one engine call."""
        prepared = [self.prepare_for_tokenization(text)[0] for text in texts]
        allowed = self._allowed_special(split_special_tokens)
        return self.selvane_model.encode_batch(prepared, rule=self._rule, allowed_special=allowed)

    # -- decoding ----------------------------------------------------------

    def convert_tokens_to_string(self, tokens: list[str]) -> str:
        """The text of token strings, through the model's bytes (so that
        byte-fallback tokens join into the characters they spell)."""
        ids = self.convert_tokens_to_ids(tokens)
        return self._text_of([ids] if isinstance(ids, int) else ids)

    def _decode(
        self,
        token_ids: int | list[int],
        skip_special_tokens: bool = False,
        clean_up_tokenization_spaces: bool | None = None,
        **kwargs: Any,
    ) -> str:
        ids = [int(token_ids)] if isinstance(token_ids, int) else [int(token) for token in token_ids]
        if skip_special_tokens:
            skipped = set(self.all_special_ids)
            ids = [token for token in ids if token not in skipped]
        text = self._text_of(ids)
        clean_up = clean_up_tokenization_spaces
        if clean_up is None:
            clean_up = self.clean_up_tokenization_spaces
        return str(self.clean_up_tokenization(text)) if clean_up else text

    def _text_of(self, ids: Iterable[int]) -> str:
        """The model's decoding of runs of its own ids, and the text of the
        tokens added past them."""
        parts: list[str] = []
        run: list[int] = []
        for token in ids:
            if token >= self._vocab_size and token in self._added_tokens_decoder:
                if run:
                    parts.append(self.selvane_model.decode(run))
                    run = []
                parts.append(self._added_tokens_decoder[token].content)
            else:
                run.append(token)
        if run:
            parts.append(self.selvane_model.decode(run))
        return "".join(parts)

    # -- saving ------------------------------------------------------------

    def save_vocabulary(self, save_directory: str, filename_prefix: str | None = None) -> tuple[str, ...]:
        """Writes the model file into `save_directory`, atomically; the rule
        and the special tokens go into ``tokenizer_config.json`` beside it."""
        if not os.path.isdir(save_directory):
            raise SelvaneError(f"{save_directory} is not a directory")
        name = f"{filename_prefix}-{MODEL_FILE_NAME}" if filename_prefix else MODEL_FILE_NAME
        path = os.path.join(save_directory, name)
        write_atomically(path, self.selvane_model.model_bytes, overwrite=True)
        return (path,)
