"""The command's Parquet output, converted and written a row group at a time,
reads back as pandas' own writing of the whole table."""

import pandas as pd
import pyarrow.parquet as pq
import pytest
from messy_quotes import RATE, messy_quotes

from velliq import chain
from velliq.cli import writing

GROUP_ROWS = 100


@pytest.fixture(scope="module")
def result():
    return chain.implied_vols(messy_quotes(), valuation_date="quote_date", rate=RATE)


@pytest.mark.parametrize("rows", [0, 1, GROUP_ROWS, 5 * GROUP_ROWS + 7])
def test_parquet_in_row_groups_reads_back_as_the_whole_table(result, tmp_path, monkeypatch, rows):
    monkeypatch.setattr(writing, "PARQUET_GROUP_ROWS", GROUP_ROWS)
    table = result.iloc[:rows]
    table.to_parquet(tmp_path / "whole.parquet", index=False)
    writing.write(table, tmp_path / "grouped.parquet", tmp_path / "grouped.parquet")
    grouped = pd.read_parquet(tmp_path / "grouped.parquet")
    pd.testing.assert_frame_equal(grouped, pd.read_parquet(tmp_path / "whole.parquet"), check_exact=True)
    assert pq.ParquetFile(tmp_path / "grouped.parquet").metadata.num_row_groups == max(1, -(-rows // GROUP_ROWS))
